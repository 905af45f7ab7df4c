#pragma once
// The window tests' real servers: alice's mailbox behind its recording proxy (see
// AliceMailbox), the SMTP server beside it, and a window in a fresh application folder.
#include "AliceMailbox.h"
#include "WindowSession.h"

class AliceServers : public AliceMailbox {
 protected:
  session::Window window;
};
