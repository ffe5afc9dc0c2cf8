// A proxy URL from the caller, read from a copy of exactly the input's size. One that is taken
// must be written back (with its password masked) as a URL that reads the same, and must make
// requests that fit the buffer; one that is refused must leave the setting as it was. A
// bracketed host must read as an IPv6 address whose RFC 5952 text reads the same again.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "net/net.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<char> text(data, data + size);
  text.push_back('\0');
  ProxySetting proxy{};
  proxy.kind = 77;
  int32_t result = netParseProxy(text.data(), &proxy);
  fuzz::require(result == 0 || result == -6, "0 or -6");
  if (result != 0) {
    fuzz::require(proxy.kind == 77, "a refused text changes nothing");
    return 0;
  }
  if (proxy.kind == kProxyNone) return 0;
  char written[kProxyBufferSize];
  netFormatProxy(&proxy, written);
  ProxySetting again{};
  fuzz::require(netParseProxy(written, &again) == 0, "the written URL reads again");
  fuzz::require(again.kind == proxy.kind && again.port == proxy.port, "kind and port");
  fuzz::require(strcmp(again.host, proxy.host) == 0 && strcmp(again.user, proxy.user) == 0,
                "host and user");
  unsigned char message[kProxyBufferSize];
  fuzz::require(netSocksCredentials(&proxy, message) <= 513, "RFC 1929's size");
  fuzz::require(netHttpConnect(&proxy, proxy.host, proxy.port, written) < kProxyBufferSize,
                "the request fits");
  PlatAddress address{};
  if (proxy.host[0] == '[') {
    fuzz::require(netParseIpv6(proxy.host, &address) == 1, "a bracketed host is IPv6");
    char ipv6[kAnyAddressTextSize];
    fuzz::require(netFormatAnyAddress(&address, ipv6, sizeof ipv6, true) > 0, "it is written");
    PlatAddress reread{};
    fuzz::require(netParseIpv6(ipv6, &reread) == 1, "the text reads again");
    fuzz::require(memcmp(&reread, &address, sizeof address) == 0, "as the same address");
  }
  return 0;
}
