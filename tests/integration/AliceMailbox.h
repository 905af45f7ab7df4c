#pragma once
// A real Dovecot with the mailbox of alice (password "secret"), reached through a recording
// proxy: the set-up of the tests that receive from it, and the subjects it holds.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "RealMailServers.h"
#include "RecordingProxy.h"

class AliceMailbox : public testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    servers = RealMailServers::Start(&why);
    ASSERT_TRUE(servers) << why;
    servers->AddUser("alice", "secret");
    proxy = std::make_unique<RecordingProxy>(servers->Pop3Port());
  }

  // A short message from Ada for each subject.
  void Deliver(const std::vector<std::string>& subjects) {
    for (const std::string& subject : subjects)
      servers->Deliver("alice",
                       "From: Ada <ada@example.org>\r\nSubject: " + subject + "\r\n\r\nAbout " + subject + ".\r\n");
  }

  // The subjects of the messages the server holds, oldest first.
  std::vector<std::string> ServerSubjects() const {
    std::vector<std::string> subjects;
    for (const std::string& message : servers->Mailbox("alice")) {
      const size_t at = message.find("Subject: ") + 9;
      subjects.push_back(message.substr(at, message.find_first_of("\r\n", at) - at));
    }
    return subjects;
  }

  std::unique_ptr<RealMailServers> servers;
  std::unique_ptr<RecordingProxy> proxy;
};
