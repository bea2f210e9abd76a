// The first line of a SIP message: a request (method and Request-URI) or a response (status and reason),
// with the method table shared by CSeq. A value object: one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "sip/uri.h"

using SIP_Status = uint16_t;

class SIP_StartLine {
public:
    enum Method_t {
        Blank_Method = 0,
        INVITE,
        ACK,
        REGISTER,
        CANCEL,
        BYE,
        OPTIONS,
        REFER,
        SUBSCRIBE,
        NOTIFY,
        INFO,
        PRACK,
        MESSAGE,
        UPDATE,
        PUBLISH,
        CHALLENGE,
        PING,
        Method_Count
    };
    // Method texts indexed by Method_t, for parsing and assembly alike.
    static const char* const MethodStr[Method_Count];

    bool parser(std::string_view line);
    // Appends the line and CR LF.
    std::string& assemble(std::string& out) const;
    // Case-sensitive after trimming blanks; reports "Unknown METHOD" and gives Blank_Method when unknown.
    static Method_t Method_parser(std::string_view text);

    Method_t Method() const { return m_Method; }
    void Method(Method_t m) { m_Method = m; }
    SIP_Status Status() const { return m_Status; }
    void Status(SIP_Status s) { m_Status = s; }
    const std::string& Reason() const { return m_Reason; }
    void Reason(const std::string& r) { m_Reason = r; }
    SIP_URI& URI() { return m_URI; }
    const SIP_URI& URI() const { return m_URI; }

    bool IS_Response() const { return m_Status != 0; }
    bool IS_Request() const { return m_Status == 0; }

    bool is_INVITE() const { return m_Method == INVITE; }
    bool is_ACK() const { return m_Method == ACK; }
    bool is_REGISTER() const { return m_Method == REGISTER; }
    bool is_CANCEL() const { return m_Method == CANCEL; }
    bool is_BYE() const { return m_Method == BYE; }
    bool is_OPTIONS() const { return m_Method == OPTIONS; }
    bool is_REFER() const { return m_Method == REFER; }
    bool is_SUBSCRIBE() const { return m_Method == SUBSCRIBE; }
    bool is_NOTIFY() const { return m_Method == NOTIFY; }
    bool is_INFO() const { return m_Method == INFO; }
    bool is_PRACK() const { return m_Method == PRACK; }
    bool is_MESSAGE() const { return m_Method == MESSAGE; }
    bool is_UPDATE() const { return m_Method == UPDATE; }
    bool is_PUBLISH() const { return m_Method == PUBLISH; }
    bool is_CHALLENGE() const { return m_Method == CHALLENGE; }
    bool is_PING() const { return m_Method == PING; }

protected:
    bool parse_request(std::string_view line, size_t version);
    bool parse_response(std::string_view line);

    Method_t m_Method = Blank_Method;
    SIP_URI m_URI;
    SIP_Status m_Status = 0;
    std::string m_Reason;
};
