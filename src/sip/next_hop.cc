// Operations across several headers: where a message goes next, and turning a stored message around for a
// request to the remote party of its dialog.
#include "sip/header.h"
#include "sip/headers/route.h"
#include "sip/headers/via.h"

std::string SipHeaders::Address() const {
  if (IsRequest()) {
    if (auto* route = Header<RouteHeader>(HID_ROUTE)) return route->Address();
    return uri_.Address();
  }
  if (auto* via = Header<ViaHeader>(HID_VIA)) return via->Address();
  return {};
}

void SipHeaders::SwapFromTo() {
  auto from = heads_.find(HID_FROM);
  auto to = heads_.find(HID_TO);
  if (from == heads_.end() || to == heads_.end()) return;
  std::swap(from->second, to->second);
}

namespace {

std::unique_ptr<HeaderLine> RouteFrom(const RouteHeader& record) {
  auto route = std::make_unique<RouteHeader>();
  static_cast<SipNameAddress&>(*route) = record;
  route->Params() = record.Params();
  return route;
}

std::unique_ptr<HeaderLine> TakeFirst(std::unique_ptr<HeaderLine>& chain) {
  std::unique_ptr<HeaderLine> first = std::move(chain);
  chain = first->DetachNext();
  return first;
}

std::unique_ptr<HeaderLine> TakeLast(std::unique_ptr<HeaderLine>& chain) {
  if (!chain->Next()) return std::move(chain);
  HeaderLine* before = chain.get();
  while (before->Next()->Next()) before = before->Next();
  return before->DetachNext();
}

}  // namespace

void SipHeaders::RouteSetFrom(const SipHeaders& src, bool srcIsRequest) {
  Remove(HID_ROUTE);
  auto* contact = src.Header<ContactHeader>(HID_CONTACT);
  bool have_contact = contact && !contact->Star();
  if (have_contact) uri_ = static_cast<const SipUri&>(*contact);

  std::unique_ptr<HeaderLine> routes;
  HeaderLine* tail = nullptr;
  for (auto* l = src.Header(HID_RECORD_ROUTE); l; l = l->Next()) {
    auto* record = dynamic_cast<const RouteHeader*>(l);
    if (!record) continue;
    std::unique_ptr<HeaderLine> route = RouteFrom(*record);
    HeaderLine* added = route.get();
    if (tail)
      tail->AttachNext(std::move(route));
    else
      routes = std::move(route);
    tail = added;
  }
  if (routes && !have_contact) {
    // Without a Contact the remote target is taken from the route set itself: its far end for a
    // stored request, its near end for a stored response.
    std::unique_ptr<HeaderLine> target = srcIsRequest ? TakeLast(routes) : TakeFirst(routes);
    uri_ = static_cast<const SipUri&>(static_cast<const RouteHeader&>(*target));
  }
  if (!srcIsRequest) HeaderLine::Reverse(routes);
  if (routes) Set(HID_ROUTE, std::move(routes));

  if (!srcIsRequest) {
    auto* to = Header<RouteHeader>(HID_TO);
    auto* src_to = src.Header<RouteHeader>(HID_TO);
    const char* tag = src_to ? src_to->Params().Param("tag") : nullptr;
    if (to && tag && !to->Params().Param("tag")) to->Params().Param("tag", tag);
  }
}
