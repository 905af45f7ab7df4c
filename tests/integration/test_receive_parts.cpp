// Every part of a received message reaches the user through the window: the files of the
// alternative not shown, its inline images, a text mislabelled base64 and the addresses
// of an HTML message's links, from a real Dovecot.
#include "RealMailServers.h"
#include "WindowSession.h"

using session::ReadBytes;
using session::TestData;
using Lines = std::vector<std::string>;

TEST(ReceiveParts, EveryPartIsShownOrListedAndWritten) {
  std::string why;
  const std::unique_ptr<RealMailServers> servers = RealMailServers::Start(&why);
  ASSERT_TRUE(servers) << why;
  servers->AddUser("alice", "secret");
  servers->Deliver("alice", TestData("every_part/1.eml"));
  servers->Deliver("alice", TestData("every_part/2.eml"));
  session::Window window;
  Tpopform& form = window.Open();
  window.ReceiveAccount("127.0.0.1", servers->Pop3Port(), "alice", "secret");

  window.Connect();

  EXPECT_TRUE(window.dialogs.shown.empty()) << window.dialogs.shown.front().text;
  EXPECT_EQ(
      corvane::GetMemoLines(form.popmsgbody),
      (Lines{"[This text is not in the base64 it claims to be and is shown as it came.]", "Hi Alice,",
             "the photos are below.", "", "File \"image001.png\" extracted", "", "File \"notes.txt\" extracted"}));
  EXPECT_EQ(corvane::GetItems(form.popatt), (Lines{"image001.png", "notes.txt"}));
  EXPECT_EQ(ReadBytes(window.Folder() + "image001.png"), "\x89PNG\r\n\x1A\n");
  EXPECT_EQ(ReadBytes(window.Folder() + "notes.txt"), "Bring the tripod.");
  const std::string store = ReadBytes(window.Folder() + "mailin.txt");
  EXPECT_NE(store.find("Here is the report <https://example.org/report>."), std::string::npos) << store;

  // CORVANE_SCREENSHOT=file.png keeps a picture of the window with the message on display.
  if (const QByteArray shot = qgetenv("CORVANE_SCREENSHOT"); !shot.isEmpty()) {
    form.mailbinder->setCurrentIndex(1);
    EXPECT_TRUE(form.grab().save(QString::fromLocal8Bit(shot)));
  }
}
