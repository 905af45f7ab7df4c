// Server answers a real server seldom gives, played by a scripted server.
#include "ScriptedServer.h"
#include "WindowSession.h"

using session::Rows;
using Kind = ScriptedDialogs::Kind;
using Lines = std::vector<std::string>;

TEST(ReceiveScripted, ARefusedDeletionIsReportedTwiceStopsTheDeletionsAndKeepsTheSessionOpen) {
  ScriptedServer server(ScriptedServer::LoadScript("integration/dele_refused.txt"));
  session::Window window;
  Tpopform& form = window.Open();
  window.ReceiveAccount("127.0.0.1", server.Port(), "alice", "secret");

  window.Connect();

  ASSERT_EQ(window.dialogs.shown.size(), 2u);
  EXPECT_EQ(window.dialogs.shown[0].kind, Kind::Message);
  EXPECT_EQ(window.dialogs.shown[0].text, "Operation failed");
  EXPECT_EQ(window.dialogs.shown[1].kind, Kind::Error);
  // The server's line as received; it ends in LF, so no "." is added.
  EXPECT_EQ(window.dialogs.shown[1].text, "-ERR Message is locked\r\n");
  EXPECT_EQ(Rows(form.pophistlist, 1), (Lines{"one", "two"}));
  EXPECT_TRUE(form.ZnPOP31->Connected);

  window.Disconnect();
  ASSERT_TRUE(server.WaitFinished());
  EXPECT_EQ(server.Failures(), "");
  EXPECT_EQ(form.statusText(), "Disconnected");
}
