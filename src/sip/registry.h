// The process-wide header registry entry type and the creators that make a default line of a header class.
// The registry itself (static members of SIP) is filled before main and only read afterwards, from any thread.
#pragma once

#include <memory>

#include "sip/head_line.h"

using t_HdrCreator = std::unique_ptr<SIP_HeadLine> (*)();

struct SIP_HeadType {
    enum MultiType_t {
        NEVER = 0,  // one value per line, never split at commas
        ALLOW = 1,  // split on input; joined with ", " in compact output
        ALWAYS = 2  // split on input; always joined with ", "
    };
    const char* m_Name = nullptr;  // canonical name; null for an identifier without a class
    char m_ShortName = 0;          // compact letter, 0 when none
    MultiType_t m_MultiplyEntity = NEVER;
    t_HdrCreator m_Constructor = nullptr;
};

template <class T>
struct SIP_Hdr_Constr {
    static std::unique_ptr<SIP_HeadLine> Creator() { return std::make_unique<T>(); }
};
