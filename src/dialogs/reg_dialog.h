// RegisterDialog: the dialog of one REGISTER transaction: regulates the expiry toward the server, relays the
// REGISTER, and on the server's answer creates, refreshes or removes the client's registration record.
// Worker threads (or the reactor in single-thread mode), with the dialog locked by the caller.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "dialogs/dialog.h"
#include "dialogs/registration.h"
#include "foundation/log.h"

class RegisterDialog : public Dialog {
 public:
  RegisterDialog(std::unique_ptr<SipMessage> msg, std::string key, std::string fuser, Defects defects,
                 bool xunr);
  ~RegisterDialog() override = default;

  void HandleClientMessage(DialogEvent event) override;
  void HandleServerMessage(DialogEvent event) override;
  int LogThreshold() const override { return LEVEL_REGISTRATION_REGULATION; }

  const std::string& UAgent() const { return user_agent_; }
  const std::string& ReceivedHole() const { return received_hole_; }
  bool IsUnregister() const { return unregister_; }
  bool ExtraUnregister() const { return extra_unregister_; }
  bool FullDomain() const { return full_domain_; }

  // How often a record that could not be entered (its contact taken by another thread meanwhile) is
  // looked up again before the answer is relayed without one.
  static constexpr int kEnterAttempts = 3;

  // What registration dialogs tell the HA peer and the events collector; unset hooks do nothing.
  struct Events {
    std::function<void(const Registration& reg)> ha_register;
    // 1: registered.
    std::function<void(int what, const Registration& reg, const std::string& agent, uint16_t ext_port,
                       const std::string& hole)>
        event_reg;
    std::function<void(const RegisterDialog& d, const std::string& reason)> event_reason;
  };
  static Events events;

 protected:
  void SetFullDomain() override { full_domain_ = true; }

 private:
  // HandleClientMessage's steps; false: the REGISTER was answered here and the dialog is complete.
  bool CheckStarContact();
  // Notes the REGISTER's Call-ID and Contact user; once the server accepted it (HandleOk), the calls of
  // the client's earlier record follow it to its new address.
  void NoteContactUser();
  void FollowChangedContact();
  int RequestedExpiry() const;
  void LearnFirewallType();
  void AttachHole();
  void CountRetransmission();

  // HandleServerMessage's steps on a 200.
  void HandleOk();
  // The expiry the server granted for our Contact (-2 when ours is not among the Contacts, -1 unknown).
  int GrantedExpiry();
  ObjectGuard<Registration> EnterRecord(const std::string& user, bool& existed);
  void StoreInRecord(Registration& reg, int expiry, int jitter);

  std::string user_agent_;
  std::string full_user_;
  std::string received_hole_;
  std::string register_callid_, contact_user_;  // NoteContactUser; empty for a star or no Contact
  bool extra_unregister_ = false;
  bool unregister_ = false;
  bool full_domain_ = false;
};
