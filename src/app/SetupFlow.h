#pragma once
// "Set up from address": asks for the e-mail address (and, if the user likes, its
// password), runs the discovery behind a progress box with Cancel, shows what was found
// and where each value came from, and only after the user's OK fills both groups of the
// Connect page. A cancelled, fruitless or refused discovery leaves every field as it was;
// the password goes nowhere but into the fields, and only after that OK.
#include <functional>
#include <string>

#include "Dialogs.h"
#include "StepRunner.h"
#include "WindowControls.h"

struct TDiscoveryResult;

class SetupFlow {
 public:
  SetupFlow(TpopformControls& controls, Dialogs& dialogs) : controls_(controls), dialogs_(dialogs) {}

  // How long each step may take, and the clock it is measured on.
  TDiscoveryOptions Options;
  // What the status bar suggests at a first start, when there is no settings file yet.
  static constexpr const char* kFirstStartHint =
      "New here? File > Set up from address... finds both servers from your e-mail address.";

  // True once confirmed values were filled in.
  bool Run();
  static constexpr const char* kFilledIn = "The Connect page holds the settings found: check them, then connect.";
  // The window is closing: a discovery under way ends at once.
  void Cancel();
  bool Running() const { return running_; }

 private:
  TpopformControls& controls_;
  Dialogs& dialogs_;
  bool running_ = false;
  std::function<void()> cancel_;
};

// The confirmation's text: each value found and where it came from.
std::string DescribeSetup(const TDiscoveryResult& result);
// Fills both groups from a confirmed result: receive host, port, security and user id;
// send host, port, security, login name and e-mail address; the password, when given,
// into the receive password and the send login password. A side nothing was found for
// keeps its fields.
void ApplySetup(TpopformControls& controls, const TDiscoveryResult& result, const std::string& password);
