#pragma once
// The window tests' real servers: Dovecot and the SMTP server with alice's mailbox
// (password "secret"), a proxy recording every command that reaches POP3, and a window in
// a fresh application folder.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "RealMailServers.h"
#include "RecordingProxy.h"
#include "WindowSession.h"

class AliceServers : public testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    servers = RealMailServers::Start(&why);
    ASSERT_TRUE(servers) << why;
    servers->AddUser("alice", "secret");
    proxy = std::make_unique<RecordingProxy>(servers->Pop3Port());
  }

  std::unique_ptr<RealMailServers> servers;
  std::unique_ptr<RecordingProxy> proxy;
  session::Window window;
};
