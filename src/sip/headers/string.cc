#include "sip/headers/string.h"

#include "sip/scan.h"

bool SIP_Head_String::parser(std::string_view value)
{
    m_val.assign(sipscan::trim(value));
    return true;
}
