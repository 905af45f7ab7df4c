#pragma once
// Where Corvane keeps its secrets: the desktop keyring (the Secret Service, through
// QtKeychain) when one answers, else a file beside the program that only its owner may
// read. Whether the keyring answers is found out once per run, and the owner is told once
// when it does not.
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace corvane::auth {

class SecretStore {
 public:
  // fallbackPath: the file used without a keyring.
  explicit SecretStore(std::string fallbackPath);

  std::optional<std::string> Read(const std::string& key);
  void Write(const std::string& key, const std::string& value);
  void Remove(const std::string& key);
  // The keyring answered (asks it the first time).
  bool KeyringReachable();

  // Told once, the first time the keyring does not answer, with a text for the user.
  std::function<void(const std::string&)> OnNoKeyring;
  // The keyring's service name; every item of the program is filed under it.
  static constexpr const char* kService = "Corvane";
  // How long one keyring request may take before it counts as unanswered.
  int TimeoutMs = 10000;

 private:
  enum class Outcome { Done, Missing, Unreachable };
  Outcome keyring(int operation, const std::string& key, std::string* value);
  // Runs an operation on the keyring, or on the file once the keyring failed.
  Outcome run(int operation, const std::string& key, std::string* value);
  void unreachable(const std::string& why);
  std::map<std::string, std::string> loadFile() const;
  void saveFile(const std::map<std::string, std::string>& items) const;

  std::string fallbackPath_;
  std::optional<bool> reachable_;
};

}  // namespace corvane::auth
