#include "Resolver.h"

#include <arpa/nameser.h>
#include <netdb.h>
#include <netinet/in.h>
#include <resolv.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace corvane::dns {

namespace {

// Each question to a server: two seconds a try, two tries; a truncated answer is asked
// again over TCP by the resolver itself.
constexpr int kSecondsPerTry = 2;
constexpr int kTries = 2;
constexpr size_t kAnswerSize = 65536;

// One resolver state for one lookup, pointed at CORVANE_DNS's server when it names one.
class ResolverState {
 public:
  explicit ResolverState(const std::optional<TNetAddress>& server) {
    ready_ = res_ninit(&state_) == 0;
    if (!ready_) return;
    state_.retrans = kSecondsPerTry;
    state_.retry = kTries;
    // Names are asked as they are: no search list, no default domain.
    state_.options &= ~static_cast<unsigned long>(RES_DNSRCH | RES_DEFNAMES);
    if (server) ready_ = pointAt(*server);
  }
  ~ResolverState() { res_nclose(&state_); }
  ResolverState(const ResolverState&) = delete;
  ResolverState& operator=(const ResolverState&) = delete;

  // The answer's bytes, or the reason there is none.
  TLookupStatus Query(const std::string& name, int type, std::vector<unsigned char>& answer) {
    if (!ready_) return TLookupStatus::Failed;
    answer.resize(kAnswerSize);
    const int length = res_nquery(&state_, name.c_str(), ns_c_in, type, answer.data(), static_cast<int>(answer.size()));
    if (length >= 0) {
      answer.resize(static_cast<size_t>(length));
      return TLookupStatus::Found;
    }
    answer.clear();
    switch (state_.res_h_errno) {
      case HOST_NOT_FOUND:
        return TLookupStatus::NoSuchName;
      case NO_DATA:
        return TLookupStatus::NoData;
      default:
        return TLookupStatus::Failed;
    }
  }

 private:
  // The resolver keeps each server's address in storage of its own (freed by
  // res_nclose) and takes it from there when the short IPv4 slot is marked unused; an
  // IPv6 server can only be given that way.
  bool pointAt(const TNetAddress& server) {
    if (server.Empty()) return false;
    for (auto*& kept : state_._u._ext.nsaddrs) {
      std::free(kept);
      kept = nullptr;
    }
    auto* copy = static_cast<sockaddr_in6*>(std::calloc(1, sizeof(sockaddr_in6)));
    if (!copy) return false;
    std::memcpy(copy, server.Sockaddr(), server.Length());
    state_._u._ext.nsaddrs[0] = copy;
    state_.nsaddr_list[0] = sockaddr_in{};
    state_.nsaddr_list[0].sin_family = 0;
    state_.nscount = 1;
    return true;
  }

  struct __res_state state_ {};
  bool ready_ = false;
};

std::string withoutFinalDot(std::string name) {
  if (!name.empty() && name.back() == '.') name.pop_back();
  return name;
}

// The records of one type in the answer section; false for a damaged message.
template <typename Take>
bool eachAnswer(const unsigned char* message, size_t length, int type, Take take) {
  if (!message || length > kAnswerSize) return false;
  ns_msg handle;
  if (ns_initparse(message, static_cast<int>(length), &handle) != 0) return false;
  const int count = ns_msg_count(handle, ns_s_an);
  for (int i = 0; i < count; ++i) {
    ns_rr record;
    if (ns_parserr(&handle, ns_s_an, i, &record) != 0) return false;
    if (ns_rr_type(record) != type || ns_rr_class(record) != ns_c_in) continue;
    if (!take(handle, ns_rr_rdata(record), static_cast<size_t>(ns_rr_rdlen(record)))) return false;
  }
  return true;
}

// A compressed name inside a record's data, as text; false when it is damaged or no
// host name.
bool nameAt(const ns_msg& handle, const unsigned char* at, std::string& name) {
  char text[NS_MAXDNAME];
  if (ns_name_uncompress(ns_msg_base(handle), ns_msg_end(handle), at, text, sizeof text) < 0) return false;
  name = withoutFinalDot(text);
  return name.empty() || IsHostName(name);
}

TLookupStatus statusOf(bool parsed, bool empty) {
  if (!parsed) return TLookupStatus::Failed;
  return empty ? TLookupStatus::NoData : TLookupStatus::Found;
}

TAddressAnswer fromSystem(const std::string& name) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int error = getaddrinfo(name.c_str(), nullptr, &hints, &found);
  TAddressAnswer answer;
  if (error != 0) {
    answer.Status = error == EAI_NONAME   ? TLookupStatus::NoSuchName
                    : error == EAI_NODATA ? TLookupStatus::NoData
                                          : TLookupStatus::Failed;
    return answer;
  }
  std::vector<TNetAddress> v4;
  for (const addrinfo* entry = found; entry; entry = entry->ai_next) {
    const auto address = TNetAddress::FromSockaddr(entry->ai_addr, entry->ai_addrlen);
    if (!address) continue;
    auto& list = address->Family() == AF_INET6 ? answer.Addresses : v4;
    if (std::find(list.begin(), list.end(), *address) == list.end()) list.push_back(*address);
  }
  freeaddrinfo(found);
  answer.Addresses.insert(answer.Addresses.end(), v4.begin(), v4.end());
  answer.Status = answer.Addresses.empty() ? TLookupStatus::NoData : TLookupStatus::Found;
  return answer;
}

TAddressAnswer fromServer(const std::string& name, const TNetAddress& server) {
  ResolverState state(server);
  TAddressAnswer answer;
  std::vector<TLookupStatus> statuses;
  for (const int type : {ns_t_aaaa, ns_t_a}) {
    std::vector<unsigned char> bytes;
    TLookupStatus status = state.Query(name, type, bytes);
    if (status == TLookupStatus::Found) {
      TAddressAnswer part = ParseAddressAnswer(bytes.data(), bytes.size());
      status = part.Status;
      answer.Addresses.insert(answer.Addresses.end(), part.Addresses.begin(), part.Addresses.end());
    }
    statuses.push_back(status);
  }
  const auto any = [&](TLookupStatus s) { return std::find(statuses.begin(), statuses.end(), s) != statuses.end(); };
  answer.Status = !answer.Addresses.empty()        ? TLookupStatus::Found
                  : any(TLookupStatus::NoSuchName) ? TLookupStatus::NoSuchName
                  : any(TLookupStatus::Failed)     ? TLookupStatus::Failed
                                                   : TLookupStatus::NoData;
  return answer;
}

template <typename Answer, typename Parse>
Answer queryRecords(const std::string& name, int type, Parse parse) {
  ResolverState state(ConfiguredServer());
  std::vector<unsigned char> bytes;
  const TLookupStatus status = state.Query(name, type, bytes);
  if (status != TLookupStatus::Found) {
    Answer answer;
    answer.Status = status;
    return answer;
  }
  return parse(bytes.data(), bytes.size());
}

}  // namespace

std::optional<TNetAddress> ParseServer(std::string_view text) {
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon + 1 == text.size()) return std::nullopt;
  const std::string_view host = text.substr(0, colon);
  const std::string_view portText = text.substr(colon + 1);
  // An IPv6 server needs its brackets: its own colons would hide the port.
  if (host.find(':') != std::string_view::npos && host.front() != '[') return std::nullopt;
  if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
  const int port = std::stoi(std::string(portText));
  if (port < 1 || port > 65535) return std::nullopt;
  return TNetAddress::Parse(host, static_cast<uint16_t>(port));
}

std::optional<TNetAddress> ConfiguredServer() {
  const char* text = std::getenv(kServerVariable);
  if (!text) return std::nullopt;
  return ParseServer(text).value_or(TNetAddress{});
}

TAddressAnswer LookupAddresses(const std::string& name) {
  const auto server = ConfiguredServer();
  if (!server) return fromSystem(name);
  if (server->Empty()) return {};
  return fromServer(name, *server);
}

TSrvAnswer LookupSrv(const std::string& name) {
  return queryRecords<TSrvAnswer>(name, ns_t_srv, ParseSrvAnswer);
}

TMxAnswer LookupMx(const std::string& name) {
  return queryRecords<TMxAnswer>(name, ns_t_mx, ParseMxAnswer);
}

TSrvAnswer ParseSrvAnswer(const unsigned char* message, size_t length) {
  TSrvAnswer answer;
  const bool parsed =
      eachAnswer(message, length, ns_t_srv, [&](const ns_msg& handle, const unsigned char* data, size_t size) {
        if (size < 7) return false;
        TSrvRecord record;
        record.Priority = ns_get16(data);
        record.Weight = ns_get16(data + 2);
        record.Port = ns_get16(data + 4);
        if (!nameAt(handle, data + 6, record.Target)) return false;
        answer.Records.push_back(std::move(record));
        return true;
      });
  answer.Status = statusOf(parsed, answer.Records.empty());
  if (!parsed) answer.Records.clear();
  return answer;
}

TMxAnswer ParseMxAnswer(const unsigned char* message, size_t length) {
  TMxAnswer answer;
  const bool parsed =
      eachAnswer(message, length, ns_t_mx, [&](const ns_msg& handle, const unsigned char* data, size_t size) {
        if (size < 3) return false;
        TMxRecord record;
        record.Preference = ns_get16(data);
        if (!nameAt(handle, data + 2, record.Exchange)) return false;
        answer.Records.push_back(std::move(record));
        return true;
      });
  answer.Status = statusOf(parsed, answer.Records.empty());
  if (!parsed) answer.Records.clear();
  std::stable_sort(answer.Records.begin(), answer.Records.end(),
                   [](const TMxRecord& a, const TMxRecord& b) { return a.Preference < b.Preference; });
  return answer;
}

TAddressAnswer ParseAddressAnswer(const unsigned char* message, size_t length) {
  TAddressAnswer answer;
  std::vector<TNetAddress> v4;
  bool parsed = true;
  for (const int type : {ns_t_aaaa, ns_t_a}) {
    parsed = parsed && eachAnswer(message, length, type, [&](const ns_msg&, const unsigned char* data, size_t size) {
               sockaddr_storage storage{};
               if (type == ns_t_aaaa && size == 16) {
                 auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
                 v6->sin6_family = AF_INET6;
                 std::memcpy(&v6->sin6_addr, data, 16);
                 answer.Addresses.push_back(
                     *TNetAddress::FromSockaddr(reinterpret_cast<sockaddr*>(&storage), sizeof(sockaddr_in6)));
               } else if (type == ns_t_a && size == 4) {
                 auto* in = reinterpret_cast<sockaddr_in*>(&storage);
                 in->sin_family = AF_INET;
                 std::memcpy(&in->sin_addr, data, 4);
                 v4.push_back(*TNetAddress::FromSockaddr(reinterpret_cast<sockaddr*>(&storage), sizeof(sockaddr_in)));
               } else {
                 return false;
               }
               return true;
             });
  }
  answer.Addresses.insert(answer.Addresses.end(), v4.begin(), v4.end());
  answer.Status = statusOf(parsed, answer.Addresses.empty());
  if (!parsed) answer.Addresses.clear();
  return answer;
}

bool IsHostName(std::string_view name) {
  if (name.empty() || name.size() > 253 || name.front() == '.' || name.find("..") != std::string_view::npos)
    return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_';
  });
}

}  // namespace corvane::dns
