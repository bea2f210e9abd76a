#include "sip/header.h"

#include "sip/message.h"
#include "sip/report.h"
#include "sip/scan.h"

using namespace sipscan;

const SIP_Header::HeadId SIP_Header::ReqHeaders[5] = {HID_Via, HID_From, HID_To, HID_Call_ID, HID_CSeq};

SIP_Header::SIP_Header(const SIP_Header& other) : SIP_StartLine(other), m_MaxHeadID(other.m_MaxHeadID)
{
    for (const auto& [key, head] : other.m_Heads) m_Heads.emplace(key, head->Copy());
}

SIP_Header& SIP_Header::operator=(const SIP_Header& other)
{
    if (this != &other) {
        SIP_Header copy(other);
        *this = std::move(copy);
    }
    return *this;
}

SIP_HeadLine* SIP_Header::Header(HeadId id) const
{
    auto it = m_Heads.find(int(id));
    return it == m_Heads.end() ? nullptr : it->second.get();
}

const char* SIP_Header::Header(std::string_view name) const
{
    for (auto it = m_Heads.lower_bound(HID_LAST); it != m_Heads.end(); ++it) {
        auto* unknown = dynamic_cast<const SIP_Head_Unknown*>(it->second.get());
        if (unknown && iequals(unknown->Header(), name)) return unknown->Value().c_str();
    }
    return nullptr;
}

void SIP_Header::Header(const std::string& name, const std::string& value)
{
    m_Heads.emplace(getNextID(), std::make_unique<SIP_Head_Unknown>(name, value));
}

void SIP_Header::set(HeadId id, std::unique_ptr<SIP_HeadLine> line)
{
    if (!line) {
        remove(id);
        return;
    }
    m_Heads[int(id)] = std::move(line);
}

bool SIP_Header::set(HeadId id, std::string_view value)
{
    std::unique_ptr<SIP_HeadLine> line = SIP::create_line(id);
    if (!line->parser(value)) return false;
    set(id, std::move(line));
    return true;
}

void SIP_Header::push_back(HeadId id, std::unique_ptr<SIP_HeadLine> line)
{
    if (!line) return;
    std::unique_ptr<SIP_HeadLine>& head = m_Heads[int(id)];
    if (head) head->chain(std::move(line));
    else head = std::move(line);
}

void SIP_Header::push_front(HeadId id, std::unique_ptr<SIP_HeadLine> line)
{
    if (!line) return;
    std::unique_ptr<SIP_HeadLine>& head = m_Heads[int(id)];
    line->chain(std::move(head));
    head = std::move(line);
}

bool SIP_Header::push_back(HeadId id, std::string_view value)
{
    std::unique_ptr<SIP_HeadLine> line = SIP::create_line(id);
    if (!line->parser(value)) return false;
    push_back(id, std::move(line));
    return true;
}

bool SIP_Header::push_front(HeadId id, std::string_view value)
{
    std::unique_ptr<SIP_HeadLine> line = SIP::create_line(id);
    if (!line->parser(value)) return false;
    push_front(id, std::move(line));
    return true;
}

namespace {

// Where a comma separates two values of a list: not inside double quotes (with backslash escapes) and not
// inside <...>.
class ListScanner {
public:
    // Feeds text[i]; true when it is a separating comma. May step i over an escaped character.
    bool separates(std::string_view text, size_t& i)
    {
        char c = text[i];
        if (quoted_) {
            if (c == '\\') ++i;
            else if (c == '"') quoted_ = false;
        } else if (bracketed_) {
            if (c == '>') bracketed_ = false;
        } else if (c == '"') {
            quoted_ = true;
        } else if (c == '<') {
            bracketed_ = true;
        } else if (c == ',') {
            return true;
        }
        return false;
    }
    bool neutral() const { return !quoted_ && !bracketed_; }

private:
    bool quoted_ = false;
    bool bracketed_ = false;
};

// Calls part(text) for each value of a comma list; stops and returns false when part does.
template <class Fn>
bool for_each_value(std::string_view text, Fn&& part)
{
    ListScanner scanner;
    size_t begin = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (scanner.separates(text, i)) {
            if (!part(text.substr(begin, i - begin))) return false;
            begin = i + 1;
        }
    }
    return part(text.substr(begin));
}

// A value that can be joined to others with ", " and split back the same way.
bool stands_alone_in_list(std::string_view value)
{
    ListScanner scanner;
    for (size_t i = 0; i < value.size(); ++i)
        if (scanner.separates(value, i)) return false;
    return scanner.neutral();
}

// Assembly only adds balanced quotes and brackets, so a value without these characters stays one value.
bool may_leave_its_list(std::string_view text)
{
    for (char c : text)
        if (c == '"' || c == '<' || c == '>' || c == ',') return true;
    return false;
}

} // namespace

bool SIP_Header::parse_values(HeadId id, std::string_view value, std::unique_ptr<SIP_HeadLine>& chain)
{
    SIP_HeadLine* tail = chain ? chain->last() : nullptr;
    const SIP_HeadType* type = SIP::_GetHeaderTypeByID(id);
    bool listed = type && type->m_MultiplyEntity != SIP_HeadType::NEVER;
    std::string assembled;
    auto parse_one = [&](std::string_view text) {
        std::unique_ptr<SIP_HeadLine> line = SIP::create_line(id);
        if (!line->parser(text)) return false;
        // A value whose assembled text would swallow or split its neighbours when the list is written
        // joined is refused, so that every accepted message assembles into one that parses the same.
        if (listed && may_leave_its_list(text)) {
            assembled.clear();
            if (!stands_alone_in_list(line->assemble(assembled))) {
                sip_report("Unbalanced quotes or brackets in Header\n");
                return false;
            }
        }
        SIP_HeadLine* added = line.get();
        if (tail) tail->attach_next(std::move(line));
        else chain = std::move(line);
        tail = added;
        return true;
    };
    if (!listed || value.empty()) return parse_one(value);
    return for_each_value(value, parse_one);
}

bool SIP_Header::line_set(HeadId id, std::string_view value)
{
    std::unique_ptr<SIP_HeadLine> chain;
    if (!parse_values(id, value, chain)) return false;
    push_back(id, std::move(chain));
    return true;
}

void SIP_Header::remove(HeadId id) { m_Heads.erase(int(id)); }

void SIP_Header::remove(std::string_view name)
{
    for (auto it = m_Heads.lower_bound(HID_LAST); it != m_Heads.end();) {
        auto* unknown = dynamic_cast<const SIP_Head_Unknown*>(it->second.get());
        if (unknown && iequals(unknown->Header(), name)) it = m_Heads.erase(it);
        else ++it;
    }
}

void SIP_Header::restrict()
{
    remove(HID_Supported);
    m_Heads.erase(m_Heads.lower_bound(HID_LAST), m_Heads.end());
}

std::unique_ptr<SIP_HeadLine> SIP_Header::pop_front(HeadId id)
{
    auto it = m_Heads.find(int(id));
    if (it == m_Heads.end()) return nullptr;
    std::unique_ptr<SIP_HeadLine> first = std::move(it->second);
    std::unique_ptr<SIP_HeadLine> rest = first->detach_next();
    if (rest) it->second = std::move(rest);
    else m_Heads.erase(it);
    return first;
}

std::unique_ptr<SIP_HeadLine> SIP_Header::pop(HeadId id, size_t n)
{
    if (n == 0) return pop_front(id);
    SIP_HeadLine* before = Header(id);
    for (size_t i = 1; before && i < n; ++i) before = before->Next();
    if (!before || !before->Next()) return nullptr;
    std::unique_ptr<SIP_HeadLine> taken = before->detach_next();
    before->attach_next(taken->detach_next());
    return taken;
}

std::unique_ptr<SIP_HeadLine> SIP_Header::pop_back(HeadId id)
{
    SIP_HeadLine* head = Header(id);
    if (!head) return nullptr;
    size_t n = 0;
    for (SIP_HeadLine* l = head->Next(); l; l = l->Next()) ++n;
    return pop(id, n);
}

void SIP_Header::Reverse(HeadId id)
{
    auto it = m_Heads.find(int(id));
    if (it != m_Heads.end()) SIP_HeadLine::reverse(it->second);
}

size_t SIP_Header::parse(HeadId id)
{
    const SIP_HeadType* type = SIP::_GetHeaderTypeByID(id);
    if (!type || !type->m_Name) return 0;
    const char letter[2] = {type->m_ShortName, 0};
    size_t converted = 0;
    for (auto it = m_Heads.lower_bound(HID_LAST); it != m_Heads.end();) {
        auto* unknown = dynamic_cast<const SIP_Head_Unknown*>(it->second.get());
        bool named = unknown && (iequals(unknown->Header(), type->m_Name) ||
                                 (type->m_ShortName && iequals(unknown->Header(), letter)));
        std::unique_ptr<SIP_HeadLine> chain;
        if (named && parse_values(id, unknown->Value(), chain)) {
            push_back(id, std::move(chain));
            it = m_Heads.erase(it);
            ++converted;
        } else {
            ++it;
        }
    }
    return converted;
}

std::string& SIP_Header::assemble(std::string& out, bool longForm) const
{
    return assemble_heads(out, longForm, nullptr);
}

std::string& SIP_Header::assemble_heads(std::string& out, bool longForm, const size_t* contentLength) const
{
    SIP_StartLine::assemble(out);
    auto write_length = [&] {
        out += longForm ? "Content-Length: " : "l: ";
        out += std::to_string(*contentLength);
        out += "\r\n";
    };
    bool length_written = contentLength == nullptr;
    for (const auto& [key, head] : m_Heads) {
        if (!length_written && key >= int(HID_Content_Length)) {
            write_length();
            length_written = true;
            if (key == int(HID_Content_Length)) continue;
        }
        head->line_assemble(out, HeadId(key), longForm, key >= int(HID_LAST));
    }
    if (!length_written) write_length();
    return out;
}
