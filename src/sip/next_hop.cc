// Operations across several headers: where a message goes next, and turning a stored message around for a
// request to the remote party of its dialog.
#include "sip/header.h"
#include "sip/headers/route.h"
#include "sip/headers/via.h"

std::string SIP_Header::Addr() const
{
    if (IS_Request()) {
        if (auto* route = Header<SIP_Head_Route>(HID_Route)) return route->Addr();
        return m_URI.Addr();
    }
    if (auto* via = Header<SIP_Head_Via>(HID_Via)) return via->Addr();
    return {};
}

void SIP_Header::swapFT()
{
    auto from = m_Heads.find(HID_From);
    auto to = m_Heads.find(HID_To);
    if (from == m_Heads.end() || to == m_Heads.end()) return;
    std::swap(from->second, to->second);
}

namespace {

std::unique_ptr<SIP_HeadLine> route_from(const SIP_Head_Route& record)
{
    auto route = std::make_unique<SIP_Head_Route>();
    static_cast<SIP_Name_Addr&>(*route) = record;
    route->Params() = record.Params();
    return route;
}

std::unique_ptr<SIP_HeadLine> take_first(std::unique_ptr<SIP_HeadLine>& chain)
{
    std::unique_ptr<SIP_HeadLine> first = std::move(chain);
    chain = first->detach_next();
    return first;
}

std::unique_ptr<SIP_HeadLine> take_last(std::unique_ptr<SIP_HeadLine>& chain)
{
    if (!chain->Next()) return std::move(chain);
    SIP_HeadLine* before = chain.get();
    while (before->Next()->Next()) before = before->Next();
    return before->detach_next();
}

} // namespace

void SIP_Header::RouteSetFrom(const SIP_Header& src, bool srcIsRequest)
{
    remove(HID_Route);
    auto* contact = src.Header<SIP_Head_Contact>(HID_Contact);
    bool have_contact = contact && !contact->Star();
    if (have_contact) m_URI = static_cast<const SIP_URI&>(*contact);

    std::unique_ptr<SIP_HeadLine> routes;
    SIP_HeadLine* tail = nullptr;
    for (auto* l = src.Header(HID_Record_Route); l; l = l->Next()) {
        auto* record = dynamic_cast<const SIP_Head_Route*>(l);
        if (!record) continue;
        std::unique_ptr<SIP_HeadLine> route = route_from(*record);
        SIP_HeadLine* added = route.get();
        if (tail) tail->attach_next(std::move(route));
        else routes = std::move(route);
        tail = added;
    }
    if (routes && !have_contact) {
        // Without a Contact the remote target is taken from the route set itself: its far end for a
        // stored request, its near end for a stored response.
        std::unique_ptr<SIP_HeadLine> target = srcIsRequest ? take_last(routes) : take_first(routes);
        m_URI = static_cast<const SIP_URI&>(static_cast<const SIP_Head_Route&>(*target));
    }
    if (!srcIsRequest) SIP_HeadLine::reverse(routes);
    if (routes) set(HID_Route, std::move(routes));

    if (!srcIsRequest) {
        auto* to = Header<SIP_Head_Route>(HID_To);
        auto* src_to = src.Header<SIP_Head_Route>(HID_To);
        const char* tag = src_to ? src_to->Params().Param("tag") : nullptr;
        if (to && tag && !to->Params().Param("tag")) to->Params().Param("tag", tag);
    }
}
