#include "SecretStore.h"

#include <qt6keychain/keychain.h>
#include <sys/stat.h>

#include <memory>

#include "Pump.h"
#include "Streams.h"

namespace corvane::auth {

namespace {

enum Operation { kRead, kWrite, kRemove };

std::unique_ptr<QKeychain::Job> makeJob(int operation, const std::string& key, const std::string* value) {
  std::unique_ptr<QKeychain::Job> job;
  const QString service = QString::fromLatin1(SecretStore::kService);
  if (operation == kRead) {
    job = std::make_unique<QKeychain::ReadPasswordJob>(service);
  } else if (operation == kWrite) {
    auto write = std::make_unique<QKeychain::WritePasswordJob>(service);
    // Text where it is text, so the keyring's own tools show the item as it is.
    const QByteArray bytes = QByteArray::fromStdString(*value);
    if (QString::fromUtf8(bytes).toUtf8() == bytes)
      write->setTextData(QString::fromUtf8(bytes));
    else
      write->setBinaryData(bytes);
    job = std::move(write);
  } else {
    job = std::make_unique<QKeychain::DeletePasswordJob>(service);
  }
  job->setAutoDelete(false);
  // Never QtKeychain's own plain-text fallback: the file below is ours and private.
  job->setInsecureFallback(false);
  job->setKey(QString::fromStdString(key));
  return job;
}

// One item a line, "key" TAB "value"; neither holds a line break or (the key) a tab.
std::string escaped(const std::string& text) {
  std::string out;
  for (const char c : text) out += c == '\\' ? "\\\\" : c == '\n' ? "\\n" : c == '\t' ? "\\t" : std::string(1, c);
  return out;
}

std::string unescaped(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    out += c == 'n' ? '\n' : c == 't' ? '\t' : c;
  }
  return out;
}

}  // namespace

SecretStore::SecretStore(std::string fallbackPath) : fallbackPath_(std::move(fallbackPath)) {}

SecretStore::Outcome SecretStore::keyring(int operation, const std::string& key, std::string* value) {
  const auto job = makeJob(operation, key, value);
  bool finished = false;
  QObject::connect(job.get(), &QKeychain::Job::finished, [&finished](QKeychain::Job*) { finished = true; });
  job->start();
  if (PumpUntil([&] { return finished; }, [] { return false; }, TimeoutMs) != PumpEnd::Done) {
    unreachable("it did not answer");
    return Outcome::Unreachable;
  }
  switch (job->error()) {
    case QKeychain::NoError:
      if (operation == kRead) *value = static_cast<QKeychain::ReadPasswordJob*>(job.get())->binaryData().toStdString();
      reachable_ = true;
      return Outcome::Done;
    case QKeychain::EntryNotFound:
      reachable_ = true;
      return Outcome::Missing;
    default:
      unreachable(job->errorString().toStdString());
      return Outcome::Unreachable;
  }
}

void SecretStore::unreachable(const std::string& why) {
  if (reachable_ == false) return;
  reachable_ = false;
  if (OnNoKeyring)
    OnNoKeyring("No desktop keyring answered (" + why + "). Corvane keeps its passwords and sign-ins in " +
                fallbackPath_ + ", which only you can read.");
}

SecretStore::Outcome SecretStore::run(int operation, const std::string& key, std::string* value) {
  if (reachable_ != false) {
    const Outcome outcome = keyring(operation, key, value);
    if (outcome != Outcome::Unreachable) return outcome;
  }
  std::map<std::string, std::string> items = loadFile();
  const auto at = items.find(key);
  if (operation == kRead) {
    if (at == items.end()) return Outcome::Missing;
    *value = at->second;
    return Outcome::Done;
  }
  if (operation == kWrite)
    items[key] = *value;
  else if (at != items.end())
    items.erase(at);
  else
    return Outcome::Missing;
  saveFile(items);
  return Outcome::Done;
}

std::optional<std::string> SecretStore::Read(const std::string& key) {
  std::string value;
  if (run(kRead, key, &value) != Outcome::Done) return std::nullopt;
  return value;
}

void SecretStore::Write(const std::string& key, const std::string& value) {
  std::string copy = value;
  run(kWrite, key, &copy);
}

void SecretStore::Remove(const std::string& key) {
  run(kRemove, key, nullptr);
}

bool SecretStore::KeyringReachable() {
  if (!reachable_) {
    std::string ignored;
    keyring(kRead, "probe", &ignored);
  }
  return reachable_.value_or(false);
}

std::map<std::string, std::string> SecretStore::loadFile() const {
  std::map<std::string, std::string> items;
  struct stat info {};
  if (::stat(fallbackPath_.c_str(), &info) != 0) return items;
  const std::string text = corvane::ReadFile(fallbackPath_);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    if (const size_t tab = line.find('\t'); tab != std::string::npos)
      items[unescaped(line.substr(0, tab))] = unescaped(line.substr(tab + 1));
    start = end + 1;
  }
  return items;
}

void SecretStore::saveFile(const std::map<std::string, std::string>& items) const {
  std::string text;
  for (const auto& [key, value] : items) text += escaped(key) + "\t" + escaped(value) + "\n";
  corvane::WriteFileAtomically(fallbackPath_, text, corvane::kPrivateFileMode);
}

}  // namespace corvane::auth
