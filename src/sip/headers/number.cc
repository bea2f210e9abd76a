#include "sip/headers/number.h"

#include "sip/scan.h"

bool MaxForwardsHeader::parser(std::string_view value)
{
    value_ = sipscan::SaturatingAtoi(value);
    return true;
}

std::string& MaxForwardsHeader::assemble(std::string& out) const { return out += std::to_string(value_); }
