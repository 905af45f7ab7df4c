#pragma once
// What the store tests share: a scratch folder, raw writes behind a store's back, a small
// inbox message, and a child process killed where it stands, as a crash would end the program.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>

#include "InboxStore.h"
#include "Streams.h"

namespace storetest {

inline std::string dataFile(const std::string& name) {
  return corvane::ReadFile(std::string(CORVANE_TEST_DATA) + "/stores/" + name);
}

struct TempFolder {
  QTemporaryDir dir;
  std::string path(const std::string& name) const { return dir.path().toStdString() + "/" + name; }
};

inline void appendRaw(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out << bytes;
}

inline InboxMessage message(const std::string& from, int bodyLines = 2) {
  InboxMessage m{from, "Subject of " + from, {"Received: by test"}, {}, {}};
  for (int i = 0; i < bodyLines; ++i) m.Body.Add("body line " + std::to_string(i));
  return m;
}

// Tells the parent that the child is at its crash point.
inline void ready(int fd) {
  const char byte = 'x';
  if (::write(fd, &byte, 1) != 1) ::_exit(4);
}

// Runs steps in a child process that is then killed where it stands; steps (or a hook
// it sets, on any thread) calls ready with the pipe when it is there.
inline void runAndKill(const std::function<void(int ready)>& steps) {
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(pipeFds[0]);
    try {
      steps(pipeFds[1]);
    } catch (...) {
      ::_exit(3);
    }
    // Waits for the parent's kill; bounded all the same.
    for (int i = 0; i < 1000; ++i) ::pause();
    ::_exit(0);
  }
  ::close(pipeFds[1]);
  char byte = 0;
  const ssize_t got = ::read(pipeFds[0], &byte, 1);
  ::close(pipeFds[0]);
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_EQ(got, 1) << "the child ended before its crash point";
  ASSERT_TRUE(WIFSIGNALED(status));
}

}  // namespace storetest
