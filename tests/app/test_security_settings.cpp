// The window's controls and settings keys of secure connections and the SMTP login.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <memory>

#include "QtText.h"
#include "ScriptedDialogs.h"
#include "Streams.h"
#include "SysUtils.h"
#include "corvane.h"

namespace {

class SecuritySettingsTest : public testing::Test {
 protected:
  QTemporaryDir dir;
  std::string folder = dir.path().toStdString() + "/";
  std::string ini = folder + "corvane.ini";
  ScriptedDialogs dialogs;
  std::unique_ptr<Tpopform> open() { return std::make_unique<Tpopform>(folder + "corvane", dialogs); }
};

TEST_F(SecuritySettingsTest, ControlsAreCaptionedAndOfferTheThreeModes) {
  auto w = open();
  for (QComboBox* box : {w->inSecurity, w->outSecurity}) {
    ASSERT_EQ(box->count(), 3);
    EXPECT_EQ(box->itemText(0), "None");
    EXPECT_EQ(box->itemText(1), "STARTTLS");
    EXPECT_EQ(box->itemText(2), "SSL/TLS");
    EXPECT_EQ(box->currentIndex(), 0);
    EXPECT_FALSE(box->isEditable());
  }
  EXPECT_EQ(w->outAuthPassword->echoMode(), QLineEdit::Password);
  EXPECT_EQ(w->inSecurityLabel->buddy(), w->inSecurity);
  EXPECT_EQ(w->outAuthUserLabel->buddy(), w->outAuthUser);
  EXPECT_EQ(w->outAuthPasswordLabel->buddy(), w->outAuthPassword);
  for (QLabel* caption : {w->inSecurityLabel, w->outSecurityLabel, w->outAuthUserLabel, w->outAuthPasswordLabel})
    EXPECT_FALSE(caption->text().isEmpty());
}

TEST_F(SecuritySettingsTest, SslTlsMovesOnlyThePlainDefaultPort) {
  auto w = open();
  w->inSecurity->setCurrentIndex(2);
  EXPECT_EQ(w->inPort->text(), "995");
  w->inSecurity->setCurrentIndex(0);
  EXPECT_EQ(w->inPort->text(), "110");
  w->inSecurity->setCurrentIndex(1);
  EXPECT_EQ(w->inPort->text(), "110");  // STARTTLS runs on the plain port
  w->outport->setText("2525");
  w->outSecurity->setCurrentIndex(2);
  EXPECT_EQ(w->outport->text(), "2525");  // a port of the user's own stays
  w->outport->setText("25");
  w->outSecurity->setCurrentIndex(0);
  w->outSecurity->setCurrentIndex(2);
  EXPECT_EQ(w->outport->text(), "465");
}

TEST_F(SecuritySettingsTest, AnOldFileStaysByteForByteWhenNothingNewIsUsed) {
  const std::string old =
      "[INBOX]\r\nHost=pop\r\nPort=110\r\nUserId=a\r\nPassword=p\r\n\r\n"
      "[OUTBOX]\r\nHost=smtp\r\nPort=25\r\nUserId=me\r\nName=A\r\nEmail=a@b\r\n";
  corvane::WriteFileAtomically(ini, old, 0600);
  auto w = open();
  EXPECT_EQ(w->inSecurity->currentIndex(), 0);
  EXPECT_EQ(w->outSecurity->currentIndex(), 0);
  EXPECT_TRUE(w->outAuthUser->text().isEmpty());
  w->insaveClick();
  w->saveoutClick();
  EXPECT_EQ(corvane::ReadFile(ini), old);
}

TEST_F(SecuritySettingsTest, NewKeysRoundTripAndCanBeSetBackToNone) {
  {
    auto w = open();
    w->inSecurity->setCurrentIndex(1);
    w->inCAFile = "/etc/corvane/ca.pem";
    w->inCertFingerprint = "AB:CD";
    w->insaveClick();
    w->outSecurity->setCurrentIndex(2);
    w->outAuthUser->setText("bob");
    w->outAuthPassword->setText("s3cret");
    w->saveoutClick();
  }
  EXPECT_EQ(corvane::ReadFile(ini),
            "[INBOX]\r\nHost=\r\nPort=110\r\nUserId=\r\nPassword=\r\nSecurity=STARTTLS\r\n"
            "CAFile=/etc/corvane/ca.pem\r\nCertFingerprint=AB:CD\r\n\r\n"
            "[OUTBOX]\r\nHost=\r\nPort=465\r\nUserId=\r\nName=\r\nEmail=\r\nSecurity=SSL/TLS\r\n"
            "AuthUser=bob\r\nAuthPassword=s3cret\r\n");
  auto w = open();
  EXPECT_EQ(w->inSecurity->currentIndex(), 1);
  EXPECT_EQ(w->inCAFile, "/etc/corvane/ca.pem");
  EXPECT_EQ(w->inCertFingerprint, "AB:CD");
  EXPECT_EQ(w->outSecurity->currentIndex(), 2);
  EXPECT_EQ(w->outAuthUser->text(), "bob");
  EXPECT_EQ(w->outAuthPassword->text(), "s3cret");
  // Back to None: a key that exists is written, so the choice sticks.
  w->outSecurity->setCurrentIndex(0);
  w->outAuthUser->clear();
  w->saveoutClick();
  const std::string text = corvane::ReadFile(ini);
  EXPECT_NE(text.find("Security=None\r\nAuthUser=\r\n"), std::string::npos) << text;
  EXPECT_EQ(open()->outSecurity->currentIndex(), 0);
}

TEST_F(SecuritySettingsTest, SecurityNamesAreReadWithoutRegardToCase) {
  corvane::WriteFileAtomically(ini, "[INBOX]\r\nSecurity=ssl/tls\r\n[OUTBOX]\r\nSecurity=starttls\r\n", 0600);
  auto w = open();
  EXPECT_EQ(w->inSecurity->currentIndex(), 2);
  EXPECT_EQ(w->outSecurity->currentIndex(), 1);
}

}  // namespace

namespace {

// The sign-in keys: the choice and the plain-text permission come from the controls, the
// rest is kept as the file had it; saving a file of OAuth keys gives them back unchanged,
// and switching to the password keeps that choice explicit.
TEST_F(SecuritySettingsTest, SignInKeysRoundTripThroughTheControls) {
  const std::string oauth =
      "Login=OAuth2\r\nOAuthProvider=Microsoft\r\nOAuthClientId=id-1\r\nOAuthClientSecret=cs\r\n"
      "OAuthAuthUrl=https://a.example/auth\r\nOAuthTokenUrl=https://a.example/token\r\n"
      "OAuthDeviceUrl=https://a.example/device\r\nOAuthScope=mail\r\nOAuthAccount=ann@example.org\r\n";
  const std::string file = "[INBOX]\r\nHost=\r\nPort=110\r\nUserId=\r\nPassword=\r\nSecurity=None\r\n" + oauth +
                           "AllowPlainLogin=1\r\n\r\n[OUTBOX]\r\nHost=\r\nPort=25\r\nUserId=\r\nName=\r\nEmail=\r\n"
                           "Security=None\r\nLogin=OAuth2\r\nOAuthProvider=Custom\r\n";
  corvane::WriteFileAtomically(ini, file, 0600);
  auto w = open();
  EXPECT_EQ(w->inLogin->currentIndex(), 2);
  EXPECT_EQ(w->outLogin->currentIndex(), 3);
  EXPECT_TRUE(w->inAllowPlainLogin->isChecked());
  EXPECT_FALSE(w->outAllowPlainLogin->isChecked());
  EXPECT_TRUE(w->inPassword->isHidden());
  // The caption may be shortened to fit; the tip names the account whole.
  EXPECT_TRUE(w->inSignIn->text().startsWith("Signed in")) << w->inSignIn->text().toStdString();
  EXPECT_TRUE(w->inSignIn->toolTip().startsWith("Signed in as ann@example.org"));
  EXPECT_EQ(w->outSignIn->text(), "Sign in");
  w->insaveClick();
  w->saveoutClick();
  EXPECT_EQ(corvane::ReadFile(ini), file);

  w->inLogin->setCurrentIndex(0);
  EXPECT_FALSE(w->inPassword->isHidden());
  EXPECT_FALSE(w->inSignIn->isEnabled());
  w->insaveClick();
  EXPECT_NE(corvane::ReadFile(ini).find("Login=Password\r\nOAuthProvider=Microsoft\r\n"), std::string::npos);
}

}  // namespace
