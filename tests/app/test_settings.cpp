// The settings file: the INI reader/writer and the window's settings handlers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QToolButton>
#include <memory>

#include "Exceptions.h"
#include "FailureOf.h"
#include "IniFile.h"
#include "NoFileOpens.h"
#include "QtText.h"
#include "ScriptedDialogs.h"
#include "Streams.h"
#include "SysUtils.h"
#include "corvane.h"

namespace {

unsigned modeOf(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_mode & 0777;
}

class IniFileTest : public testing::Test {
 protected:
  QTemporaryDir dir;
  std::string path = dir.path().toStdString() + "/corvane.ini";
  void write(std::string_view bytes, unsigned mode = 0644) { corvane::WriteFileAtomically(path, bytes, mode); }
};

TEST_F(IniFileTest, ReadsNamesWithoutRegardToCaseAndValuesVerbatim) {
  write(
      "; comment=not a key\r\n[inbox]\r\nHOST=mail.example.org\r\n  port  = 995 \r\nUserId=\r\n"
      "[Other]\r\nHost=elsewhere\r\n");
  const IniFile ini(path);
  EXPECT_EQ(ini.ReadString("INBOX", "Host", "d"), "mail.example.org");
  EXPECT_EQ(ini.ReadString("INBOX", "Port", "d"), " 995 ");  // the value as stored, blanks and all
  EXPECT_EQ(ini.ReadString("INBOX", "UserId", "d"), "");     // present but empty: no default
  EXPECT_EQ(ini.ReadString("INBOX", "Password", "d"), "d");
  EXPECT_EQ(ini.ReadString("OUTBOX", "Host", "25"), "25");
  EXPECT_EQ(ini.ReadString("other", "host", ""), "elsewhere");
  EXPECT_EQ(ini.ReadString("", "comment", "none"), "none");
}

TEST_F(IniFileTest, ByteOrderMarkIsKeptAndDoesNotHideTheFirstSection) {
  write("\xEF\xBB\xBF[INBOX]\r\nHost=h\r\n");
  IniFile ini(path);
  EXPECT_EQ(ini.ReadString("INBOX", "Host", ""), "h");
  ini.WriteString("INBOX", "Port", "1");
  EXPECT_EQ(corvane::ReadFile(path), "\xEF\xBB\xBF[INBOX]\r\nHost=h\r\nPort=1\r\n");
}

TEST_F(IniFileTest, MissingFileReadsDefaultsAndFirstWriteCreatesItForTheOwnerOnly) {
  IniFile ini(path);
  EXPECT_EQ(ini.ReadString("INBOX", "Port", "110"), "110");
  ini.WriteString("INBOX", "Host", "pop.example.org");
  ini.WriteString("INBOX", "Password", "");
  EXPECT_EQ(corvane::ReadFile(path), "[INBOX]\r\nHost=pop.example.org\r\nPassword=\r\n");
  EXPECT_EQ(modeOf(path), 0600u);
}

TEST_F(IniFileTest, WritingKeepsEveryOtherLineAndItsLineEnds) {
  write("# hand-written\n[Inbox]\nhost=old\nExtra = kept\n\n[OUTBOX]\r\nName=N\r\nlast line without end");
  IniFile ini(path);
  ini.WriteString("INBOX", "Host", "new");  // replaced in place
  ini.WriteString("INBOX", "Port", "110");  // added after the section's last line, before the gap
  ini.WriteString("OUTBOX", "Email", "a@b");
  ini.WriteString("NEW", "Key", "v");
  EXPECT_EQ(corvane::ReadFile(path),
            "# hand-written\n[Inbox]\nHost=new\nExtra = kept\nPort=110\r\n\n[OUTBOX]\r\nName=N\r\n"
            "last line without end\r\nEmail=a@b\r\n\r\n[NEW]\r\nKey=v\r\n");
  EXPECT_EQ(IniFile(path).ReadString("inbox", "extra", ""), " kept");
}

TEST_F(IniFileTest, ExistingFileIsReplacedAndMadeOwnerOnly) {
  write("[INBOX]\r\nPassword=secret\r\n", 0644);
  IniFile(path).WriteString("INBOX", "Password", "other");
  EXPECT_EQ(modeOf(path), 0600u);
  EXPECT_EQ(corvane::ReadFile(path), "[INBOX]\r\nPassword=other\r\n");
  // Nothing of the temporary file is left beside it.
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"corvane.ini"});
}

TEST_F(IniFileTest, LongValueIsCutWhenRead) {
  const std::string value(3000, 'x');
  IniFile(path).WriteString("INBOX", "Host", value);
  EXPECT_EQ(corvane::ReadFile(path), "[INBOX]\r\nHost=" + value + "\r\n");
  EXPECT_EQ(IniFile(path).ReadString("INBOX", "Host", ""), std::string(2047, 'x'));
}

TEST_F(IniFileTest, ValueCannotInjectLines) {
  IniFile(path).WriteString("INBOX", "Host", "evil\r\n[OUTBOX]\r\nHost=x");
  EXPECT_EQ(corvane::ReadFile(path), "[INBOX]\r\nHost=evil\r\n");
}

TEST_F(IniFileTest, RefusedWriteNamesTheFile) {
  const std::string bad = dir.path().toStdString() + "/missing-folder/corvane.ini";
  IniFile ini(bad);
  EXPECT_EQ(FailureOf([&] { ini.WriteString("INBOX", "Host", "h"); }), "Unable to write to " + bad);
}

class SettingsWindowTest : public testing::Test {
 protected:
  QTemporaryDir dir;
  std::string folder = dir.path().toStdString() + "/";
  std::string ini = folder + "corvane.ini";
  ScriptedDialogs dialogs;
  std::unique_ptr<Tpopform> open(const std::string& exe = {}) {
    return std::make_unique<Tpopform>(exe.empty() ? folder + "corvane" : exe, dialogs);
  }
};

TEST_F(SettingsWindowTest, FirstStartShowsTheDefaults) {
  auto w = open();
  EXPECT_EQ(w->appFolder, folder);
  EXPECT_EQ(w->settingsPath, ini);
  EXPECT_EQ(w->inboxStorePath, folder + "mailin.txt");
  EXPECT_EQ(w->inPort->text(), "110");
  EXPECT_EQ(w->outport->text(), "25");
  for (QLineEdit* field :
       {w->inHost, w->inUserID, w->inPassword, w->outhost, w->outuserid, w->localname, w->localemail})
    EXPECT_TRUE(field->text().isEmpty()) << field->objectName().toStdString();
  EXPECT_TRUE(dialogs.shown.empty());
  EXPECT_FALSE(corvane::FileExists(ini));  // reading creates nothing
}

TEST_F(SettingsWindowTest, ExtensionOfTheExecutableIsReplaced) {
  auto w = open(folder + "corvane.bin");
  EXPECT_EQ(w->settingsPath, ini);
}

TEST_F(SettingsWindowTest, AccountsRoundTripAndEachSaveLeavesTheOtherSection) {
  {
    auto w = open();
    w->inHost->setText("pop.example.org");
    w->inPort->setText("x1");  // not checked: stored as the field holds it
    w->inUserID->setText("alice");
    w->inPassword->setText("");
    w->insaveClick();
    EXPECT_EQ(corvane::ReadFile(ini), "[INBOX]\r\nHost=pop.example.org\r\nPort=x1\r\nUserId=alice\r\nPassword=\r\n");

    w->outhost->setText("smtp.example.org");
    w->localname->setText("Alice \xC3\x84rger");
    w->localemail->setText("alice@example.org");
    w->saveoutClick();
  }
  const std::string both = corvane::ReadFile(ini);
  EXPECT_EQ(both,
            "[INBOX]\r\nHost=pop.example.org\r\nPort=x1\r\nUserId=alice\r\nPassword=\r\n\r\n"
            "[OUTBOX]\r\nHost=smtp.example.org\r\nPort=25\r\nUserId=\r\nName=Alice \xC3\x84rger\r\n"
            "Email=alice@example.org\r\n");

  auto w = open();
  EXPECT_EQ(w->inHost->text(), "pop.example.org");
  EXPECT_EQ(w->inPort->text(), "x1");
  EXPECT_EQ(w->inPassword->text(), "");
  EXPECT_EQ(w->localname->text(), QString::fromUtf8("Alice \xC3\x84rger"));
  // Saving INBOX again rewrites only its lines, and the same for OUTBOX.
  w->inHost->setText("pop2");
  w->outhost->setText("changed but not saved");
  w->insaveClick();
  std::string expected = both;
  expected.replace(expected.find("pop.example.org"), 15, "pop2");
  EXPECT_EQ(corvane::ReadFile(ini), expected);
  w->outhost->setText("smtp2");
  w->inHost->setText("changed but not saved");
  w->saveoutClick();
  expected.replace(expected.find("smtp.example.org"), 16, "smtp2");
  EXPECT_EQ(corvane::ReadFile(ini), expected);
  EXPECT_EQ(modeOf(ini), 0600u);
}

// [INBOX] CheckMinutes: written once it means something, read back into the box; a value
// that is no count of minutes, or beyond a day, is read as the nearest the box can show.
TEST_F(SettingsWindowTest, TheCheckIntervalIsWrittenOnlyOnceItMeansSomethingAndReadBack) {
  const std::string plain = "[INBOX]\r\nHost=h\r\nPort=110\r\nUserId=u\r\nPassword=\r\n";
  {
    auto w = open();
    w->inHost->setText("h");
    w->inUserID->setText("u");
    w->insaveClick();
    EXPECT_EQ(corvane::ReadFile(ini), plain);
    w->inCheckMinutes->setValue(15);
    w->insaveClick();
    EXPECT_EQ(corvane::ReadFile(ini), plain + "CheckMinutes=15\r\n");
  }
  const struct {
    const char* stored;
    int shown;
  } cases[] = {{"15", 15}, {"0", 0}, {"ten", 0}, {"-3", 0}, {"100000", 1440}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored);
    IniFile(ini).WriteString("INBOX", "CheckMinutes", c.stored);
    auto w = open();
    EXPECT_EQ(w->inCheckMinutes->value(), c.shown);
  }
  // Off again, the key stays and says so.
  auto w = open();
  w->inCheckMinutes->setValue(0);
  w->insaveClick();
  EXPECT_EQ(corvane::ReadFile(ini), plain + "CheckMinutes=0\r\n");
  EXPECT_EQ(w->inCheckMinutes->text(), "Off");
}

// The server choice is written once it differs from deleting after storing (or was written
// before), the days only with "Keep for days"; a new window shows them again.
TEST_F(SettingsWindowTest, TheServerChoiceIsWrittenWhenItMeansSomethingAndReadBack) {
  const std::string account = "[INBOX]\r\nHost=\r\nPort=110\r\nUserId=\r\nPassword=\r\n";
  struct Case {
    OnServer choice;
    int days;
    std::string lines;  // after the account's own
    int largeKB = 0;
  };
  for (const Case& c : {Case{OnServer::Delete, 7, ""}, Case{OnServer::Keep, 7, "OnServer=Keep\r\n"},
                        Case{OnServer::Keep, 7, "OnServer=Keep\r\nLargeKB=500\r\n", 500},
                        Case{OnServer::KeepDays, 10, "OnServer=KeepDays\r\nKeepDays=10\r\n"},
                        Case{OnServer::FollowLocal, 7, "OnServer=FollowLocal\r\n"}}) {
    SCOPED_TRACE(kOnServerKeys[static_cast<int>(c.choice)]);
    ::unlink(ini.c_str());
    {
      auto w = open();
      w->inOnServer->setCurrentIndex(static_cast<int>(c.choice));
      w->inKeepDays->setValue(c.days);
      w->inLargeKB->setValue(c.largeKB);
      w->insaveClick();
    }
    EXPECT_EQ(corvane::ReadFile(ini), account + c.lines);
    auto w = open();
    EXPECT_EQ(w->inOnServer->currentIndex(), static_cast<int>(c.choice));
    EXPECT_EQ(w->inKeepDays->value(), c.days);
    EXPECT_EQ(w->inKeepDays->isEnabled(), c.choice == OnServer::KeepDays);
    EXPECT_EQ(w->inLargeKB->value(), c.largeKB);
  }
  // Back to deleting after storing: the key stays, saying so.
  auto w = open();
  w->inOnServer->setCurrentIndex(0);
  w->insaveClick();
  EXPECT_EQ(corvane::ReadFile(ini), account + "OnServer=Delete\r\n");
}

TEST_F(SettingsWindowTest, ValuesAreBytesThroughTheFields) {
  // Not UTF-8, and long: the field shows the first 2047 bytes and gives them back.
  const std::string odd = "\xFF\xFEho\xC3st";
  const std::string longValue = std::string(3000, 'p');
  corvane::WriteFileAtomically(ini, "[INBOX]\r\nHost=" + odd + "\r\nPassword=" + longValue + "\r\n", 0600);
  auto w = open();
  EXPECT_EQ(corvane::GetText(w->inHost), odd);
  EXPECT_EQ(w->inPassword->text().size(), 2047);
  w->insaveClick();
  EXPECT_EQ(corvane::ReadFile(ini),
            "[INBOX]\r\nHost=" + odd + "\r\nPassword=" + std::string(2047, 'p') + "\r\nPort=110\r\nUserId=\r\n");
}

TEST_F(SettingsWindowTest, FolderInPlaceOfTheSettingsFile) {
  ASSERT_TRUE(QDir(dir.path()).mkdir("corvane.ini"));
  auto w = open();
  // A folder in the file's place reads as no file; saving over it is refused.
  EXPECT_EQ(w->inPort->text(), "110");
  EXPECT_TRUE(dialogs.errors().empty());
  EXPECT_FALSE(w->guard([&] { w->saveoutClick(); }));
  EXPECT_EQ(dialogs.errors(), std::vector<std::string>{"Unable to write to " + ini + "."});
}

TEST_F(SettingsWindowTest, ConnectWritesTheAccountOnlyWhenItsSaveBoxIsChecked) {
  corvane::WriteFileAtomically(ini, "[INBOX]\r\nHost=old\r\n", 0600);
  auto w = open();
  // A port that is no number stops each connect after its save, before any network step.
  w->inHost->setText("changed");
  w->inPort->setText("11O");
  w->inconnect->click();
  w->outhost->setText("smtp.example.org");
  w->outport->setText("2S");
  w->outconnect->click();
  EXPECT_EQ(corvane::ReadFile(ini), "[INBOX]\r\nHost=old\r\n");

  w->insavecheck->setChecked(true);
  w->inconnect->click();
  w->outsavecheck->setChecked(true);
  w->outconnect->click();
  EXPECT_EQ(corvane::ReadFile(ini),
            "[INBOX]\r\nHost=changed\r\nPort=11O\r\nUserId=\r\nPassword=\r\n\r\n"
            "[OUTBOX]\r\nHost=smtp.example.org\r\nPort=2S\r\nUserId=\r\nName=\r\nEmail=\r\n");
  EXPECT_EQ(dialogs.errors(),
            (std::vector<std::string>{"'11O' is not a valid integer value.", "'2S' is not a valid integer value.",
                                      "'11O' is not a valid integer value.", "'2S' is not a valid integer value."}));
}

TEST_F(SettingsWindowTest, PortsThatOnlyLookLikeNumbersAreRefusedBeforeAnyConnect) {
  auto w = open();
  w->inHost->setText("127.0.0.1");
  w->outhost->setText("127.0.0.1");
  std::vector<std::string> expected;
  for (const char* port : {"0x19", "$19", "+25", " 25"}) {
    w->inPort->setText(port);
    w->inconnect->click();
    w->outport->setText(port);
    w->outconnect->click();
    const std::string error = std::string("'") + port + "' is not a valid integer value.";
    expected.insert(expected.end(), {error, error});
  }
  EXPECT_EQ(dialogs.errors(), expected);
  EXPECT_FALSE(w->ZnPOP31->Connected);
  EXPECT_FALSE(w->ZnSMTP1->Connected);
}

TEST_F(SettingsWindowTest, UnreadableSettingsAreShownAndTheStoresAfterThemStillLoad) {
  if (!NoFileOpens::Possible()) GTEST_SKIP() << "the sanitizer's type checks need descriptors of their own";
  corvane::WriteFileAtomically(ini, "[INBOX]\r\nHost=h\r\n", 0600);
  corvane::WriteFileAtomically(folder + "mailbook.txt", "A=a@x\r\n", 0600);
  corvane::WriteFileAtomically(folder + "mailout.txt", "Send Mail\r\n", 0600);
  auto w = open();
  w->inHost->clear();
  dialogs.shown.clear();
  {
    NoFileOpens closed;
    w->guard([&] { w->LoadSettings(); });
  }
  const auto errors = dialogs.errors();
  ASSERT_EQ(errors.size(), 3u);
  EXPECT_EQ(errors[0], "Cannot open file " + ini + ".");
  EXPECT_EQ(errors[1], "Cannot open file " + folder + "mailbook.txt.");
  EXPECT_EQ(errors[2].rfind("Cannot open file " + folder + "mailout.txt", 0), 0u) << errors[2];
  EXPECT_EQ(w->inHost->text(), "");
  EXPECT_EQ(corvane::ReadFile(ini), "[INBOX]\r\nHost=h\r\n");
}

TEST_F(SettingsWindowTest, RefusedSaveIsShownInTheErrorBox) {
  const std::string exe = folder + "gone/corvane";
  auto w = open(exe);
  EXPECT_FALSE(w->guard([&] { w->insaveClick(); }));
  EXPECT_EQ(dialogs.errors(), std::vector<std::string>{"Unable to write to " + folder + "gone/corvane.ini."});
}

}  // namespace
