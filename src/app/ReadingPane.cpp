#include "ReadingPane.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>

#include "Exceptions.h"
#include "InboxStore.h"
#include "QtText.h"
#include "WindowControls.h"

void ReadingPane::ShowReceived(const InboxMessage& shown, size_t bodyLines, int row) {
  corvane::SetText(c_.popfrom, shown.From);
  corvane::SetText(c_.popsubject, shown.Subject);
  corvane::SetMemoLines(c_.popmsgheader, shown.Header);
  corvane::ShowBody(c_.popmsgbody, shown.Body.Items(), bodyLines);
  const bool cut = static_cast<size_t>(shown.Body.Count()) < bodyLines;
  cutRow_ = !cut ? kWhole : row < 0 ? kNotStored : row;
  corvane::SetItems(c_.popatt, shown.Attachments);
}

void ReadingPane::ShowStored(const InboxStore& store, int r) {
  const size_t lines = static_cast<size_t>(store.ValueCount(r, InboxStore::lbBody));
  const std::vector<std::string> shown = store.FirstValues(r, InboxStore::lbBody, corvane::kMemoShownBytes);
  corvane::ShowBody(c_.popmsgbody, shown, lines);
  cutRow_ = shown.size() < lines ? r : kWhole;
  corvane::SetItems(c_.popatt, store.Values(r, InboxStore::lbAttachments));
}

InboxMessage ReadingPane::Current(const InboxStore& store) const {
  InboxMessage message;
  message.From = corvane::GetText(c_.popfrom);
  message.Subject = corvane::GetText(c_.popsubject);
  message.Header = corvane::GetMemoLines(c_.popmsgheader);
  message.Body = BodyLines(store);
  message.Attachments = corvane::GetItems(c_.popatt);
  return message;
}

void ReadingPane::RequireWholeBody() const {
  if (cutRow_ == kNotStored)
    throw Exception("Only the beginning of this message is shown, and the inbox store does not hold the rest");
}

TLineList ReadingPane::BodyLines(const InboxStore& store) const {
  if (cutRow_ == kWhole) return corvane::GetMemoLines(c_.popmsgbody);
  RequireWholeBody();
  return store.ValueLines(cutRow_, InboxStore::lbBody);
}

std::string ReadingPane::BodyText(const InboxStore& store) const {
  if (cutRow_ == kWhole) return corvane::GetMemoText(c_.popmsgbody);
  return BodyLines(store).Text();
}

void ReadingPane::ForgetRecord() {
  if (cutRow_ >= 0) cutRow_ = kNotStored;
}
