#include "sip/headers/string.h"

#include "sip/scan.h"

bool StringHeader::parser(std::string_view value)
{
    value_.assign(sipscan::trim(value));
    return true;
}
