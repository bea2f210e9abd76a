// One value of a SIP header (SIP_HeadLine) chained to the further values of the same header, the header
// identifiers, and the raw form kept for headers the relay does not interpret (SIP_Head_Unknown).
// Value objects owned by their message: one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// Header identifiers; the numeric order is the order of headers in assembled text.
struct SIP_HeadIds {
    enum HeadId : uint32_t {
        HID_Blank = 0,
        HID_Via,
        HID_Route,
        HID_Record_Route,
        HID_From,
        HID_To,
        HID_Contact,
        HID_Call_ID,
        HID_CSeq,
        HID_Expires,
        HID_Max_Forwards,
        HID_Refer_To,
        HID_Referred_By,
        HID_Call_Info,
        HID_Proxy_Authenticate,
        HID_WWW_Authenticate,
        HID_Proxy_Authorization,
        HID_Authorization,
        HID_Session_Expires,
        HID_P_Asserted_Identity,
        HID_Subject,
        HID_Supported,
        HID_Require,
        HID_Event,
        HID_Allow_Events,
        HID_User_Agent,
        HID_Server,
        HID_Content_Type,
        HID_Content_Length,
        HID_Accept,
        HID_Accept_Encoding,
        HID_Accept_Language,
        HID_Alert_Info,
        HID_Allow,
        HID_Authentication_Info,
        HID_Content_Disposition,
        HID_Content_Encoding,
        HID_Content_Language,
        HID_Date,
        HID_Error_Info,
        HID_In_Reply_To,
        HID_Identity,
        HID_Min_Expires,
        HID_MIME_Version,
        HID_Organization,
        HID_Priority,
        HID_Proxy_Require,
        HID_Reply_To,
        HID_Retry_After,
        HID_Timestamp,
        HID_Unsupported,
        HID_Warning,
        HID_LAST
    };
};

class SIP_HeadLine : public SIP_HeadIds {
public:
    SIP_HeadLine() = default;
    // Copying a line copies its value only; Copy() copies the chain.
    SIP_HeadLine(const SIP_HeadLine&) {}
    SIP_HeadLine& operator=(const SIP_HeadLine&) { return *this; }
    // Releases the rest of the chain without recursion, so long comma lists cannot exhaust the stack.
    virtual ~SIP_HeadLine();

    // A deep copy of this line and the rest of its chain.
    std::unique_ptr<SIP_HeadLine> Copy() const;
    // Fills the line from a header value; false (after reporting) when the value does not parse.
    virtual bool parser(std::string_view value) = 0;
    // Appends the value text.
    virtual std::string& assemble(std::string& out) const = 0;

    SIP_HeadLine* Next() const { return m_Next.get(); }
    // Appends l (a line or a chain) at the end of this chain.
    void chain(std::unique_ptr<SIP_HeadLine> l);
    SIP_HeadLine* last();
    std::unique_ptr<SIP_HeadLine> detach_next() { return std::move(m_Next); }
    void attach_next(std::unique_ptr<SIP_HeadLine> l) { m_Next = std::move(l); }
    static void reverse(std::unique_ptr<SIP_HeadLine>& head);

    // Appends the whole chain as header text under id: name, values and line ends. noName is for lines
    // that write their own name (unknown headers).
    std::string& line_assemble(std::string& out, HeadId id, bool longForm, bool noName) const;

protected:
    // A copy of this line alone, of its dynamic type.
    virtual std::unique_ptr<SIP_HeadLine> CopyOne() const = 0;

private:
    std::unique_ptr<SIP_HeadLine> m_Next;
};

// Gives a header class its CopyOne; Self is the class, Base the class it extends.
template <class Self, class Base>
class SIP_HeadCopyable : public Base {
protected:
    std::unique_ptr<SIP_HeadLine> CopyOne() const override
    {
        return std::make_unique<Self>(static_cast<const Self&>(*this));
    }
};

// A header the relay does not interpret: its name as received (case kept) and its value.
class SIP_Head_Unknown : public SIP_HeadCopyable<SIP_Head_Unknown, SIP_HeadLine> {
public:
    SIP_Head_Unknown() = default;
    SIP_Head_Unknown(std::string_view name, std::string_view value) : m_hdr(name), m_val(value) {}

    bool parser(std::string_view value) override;
    std::string& assemble(std::string& out) const override;

    const std::string& Header() const { return m_hdr; }
    const std::string& Value() const { return m_val; }

    static std::unique_ptr<SIP_HeadLine> Creator() { return std::make_unique<SIP_Head_Unknown>("???", "???"); }

private:
    std::string m_hdr;
    std::string m_val;
};
