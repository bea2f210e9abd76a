#include "sip/headers/number.h"

#include "sip/scan.h"

bool SIP_Head_Max_Forwards::parser(std::string_view value)
{
    m_Value = sipscan::saturating_atoi(value);
    return true;
}

std::string& SIP_Head_Max_Forwards::assemble(std::string& out) const { return out += std::to_string(m_Value); }
