#pragma once
// Every name lookup of the program: the addresses of a host (IPv6 and IPv4) for its
// connections, and the SRV and MX records that account discovery asks for.
//
// Without CORVANE_DNS the system's resolver answers: getaddrinfo for addresses, the
// system's resolver configuration (libresolv) for SRV and MX. CORVANE_DNS=IP:PORT (an IPv6
// address in brackets) sends every lookup, addresses included, to that server and port.
//
// The lookups block for at most a few seconds each when they ask a server themselves;
// run them on a worker (TBackgroundTask), never on the GUI thread.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "NetAddress.h"

namespace corvane::dns {

enum class TLookupStatus {
  Found,
  NoSuchName,  // the name does not exist
  NoData,      // the name exists, without records of the type asked for
  Failed       // no answer: server failure, time-out, unreadable reply, bad CORVANE_DNS
};

struct TAddressAnswer {
  TLookupStatus Status = TLookupStatus::Failed;
  std::vector<TNetAddress> Addresses;  // IPv6 first, then IPv4, each in the order given
};

struct TSrvRecord {
  uint16_t Priority = 0;
  uint16_t Weight = 0;
  uint16_t Port = 0;
  std::string Target;  // without the final dot; empty for "." (no such service here)
};

struct TSrvAnswer {
  TLookupStatus Status = TLookupStatus::Failed;
  std::vector<TSrvRecord> Records;
};

struct TMxRecord {
  uint16_t Preference = 0;
  std::string Exchange;  // without the final dot; empty for a null MX (RFC 7505)
};

struct TMxAnswer {
  TLookupStatus Status = TLookupStatus::Failed;
  std::vector<TMxRecord> Records;  // lowest preference first
};

// The name of the environment variable, and the server it names ("127.0.0.1:5353",
// "[::1]:5353"). Null when the variable is unset; an empty address when it is set but
// unreadable, so that no lookup quietly goes elsewhere.
inline constexpr const char* kServerVariable = "CORVANE_DNS";
std::optional<TNetAddress> ConfiguredServer();
std::optional<TNetAddress> ParseServer(std::string_view text);

TAddressAnswer LookupAddresses(const std::string& name);
TSrvAnswer LookupSrv(const std::string& name);
TMxAnswer LookupMx(const std::string& name);

// Answers as a server sent them (untrusted bytes): the records of the type asked for in
// the answer section; a damaged message gives Failed.
TSrvAnswer ParseSrvAnswer(const unsigned char* message, size_t length);
TMxAnswer ParseMxAnswer(const unsigned char* message, size_t length);
TAddressAnswer ParseAddressAnswer(const unsigned char* message, size_t length);

// A host name as a record may name one: letters, digits, "-", "_" and dots, at most 253
// characters.
bool IsHostName(std::string_view name);

}  // namespace corvane::dns
