// RegDialog_t: the dialog of one REGISTER transaction: regulates the expiry toward the server, relays the
// REGISTER, and on the server's answer creates, refreshes or removes the client's registration record.
// Worker threads (or the reactor in single-thread mode), with the dialog locked by the caller.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "dialogs/dialog.h"
#include "dialogs/registration.h"
#include "foundation/log.h"

class RegDialog_t : public Dialog_t {
 public:
  RegDialog_t(std::unique_ptr<SIP> msg, std::string key, std::string fuser, std::string defect, bool xunr);
  ~RegDialog_t() override = default;

  void HandleClnMsg(State_t event) override;
  void HandleSrvMsg(State_t event) override;
  int LogTreshold() const override { return LOG_REG_REGUL; }

  const std::string& UAgent() const { return UAgent_m; }
  const std::string& RecvdHole() const { return RecvdHole_m; }
  bool Unreg() const { return Unreg_m; }
  bool XUnReg() const { return XUnReg_m; }
  bool FDomn() const { return FDomn_m; }

  // How often a record that could not be entered (its contact taken by another thread meanwhile) is
  // looked up again before the answer is relayed without one.
  static constexpr int kEnterAttempts = 3;

  // What registration dialogs tell the HA peer and the events collector; unset hooks do nothing.
  struct Events {
    std::function<void(const Register_t& reg)> ha_Reg;
    // 1: registered.
    std::function<void(int what, const Register_t& reg, const std::string& agent, uint16_t ext_port,
                       const std::string& hole)>
        event_reg;
    std::function<void(const RegDialog_t& d, const std::string& reason)> event_reason;
  };
  static Events events;

 protected:
  void SetFDomain() override { FDomn_m = true; }

 private:
  // HandleClnMsg's steps; false: the REGISTER was answered here and the dialog is complete.
  bool CheckStarContact();
  void FollowChangedContact();
  int RequestedExpiry() const;
  void LearnFirewallType();
  void AttachHole();
  void CountRetransmission();

  // HandleSrvMsg's steps on a 200.
  void HandleOk();
  // The expiry the server granted for our Contact (-2 when ours is not among the Contacts, -1 unknown).
  int GrantedExpiry();
  TGuard<Register_t> EnterRecord(const std::string& user, bool& existed);
  void StoreInRecord(Register_t& reg, int expiry, int jitter);

  std::string UAgent_m;
  std::string FUser_m;
  std::string RecvdHole_m;
  bool XUnReg_m = false;
  bool Unreg_m = false;
  bool FDomn_m = false;
};
