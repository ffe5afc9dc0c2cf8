// Proxies: the URL a caller gives, taken apart and written back, and the messages of the two
// handshakes: SOCKS5 (RFC 1928, with RFC 1929's user and password) and HTTP CONNECT (with
// Basic authentication). The engine's proxy states send and read them.
#include "dap32.h"
#include "frame/text.h"
#include "net/net.h"

namespace {
// Room for what netFormatProxy writes back: every byte of a user name escaped.
constexpr uint32_t kLongestProxyText = kProxyBufferSize - 1;

struct Scheme {
  const char* name;
  int32_t kind;
};
// socks5h is what other tools call a SOCKS5 proxy that resolves the name: this one always does.
constexpr Scheme kSchemes[] = {
    {"socks5", kProxySocks5}, {"socks5h", kProxySocks5}, {"http", kProxyHttp}};

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The scheme before "://": its kind and where the rest starts, or kind kProxyNone.
int32_t readScheme(const char* text, const char** rest) {
  for (const Scheme& scheme : kSchemes) {
    const char* name = scheme.name;
    const char* cursor = text;
    while (*name != '\0' && lower(*cursor) == *name) ++name, ++cursor;
    if (*name == '\0' && cursor[0] == ':' && cursor[1] == '/' && cursor[2] == '/') {
      *rest = cursor + 3;
      return scheme.kind;
    }
  }
  return kProxyNone;
}

// Copies [from, to) into field, decoding %XX: false when it is longer than the field allows or
// holds a broken escape or a NUL.
bool decodeInto(const char* from, const char* to, char* field) {
  uint32_t length = 0;
  for (const char* c = from; c != to; ++c) {
    char value = *c;
    if (value == '%') {
      if (to - c < 3 || hexDigitValue(c[1]) < 0 || hexDigitValue(c[2]) < 0) return false;
      value = static_cast<char>(hexDigitValue(c[1]) << 4 | hexDigitValue(c[2]));
      if (value == '\0') return false;
      c += 2;
    }
    if (length == kProxyFieldSize - 1) return false;
    field[length++] = value;
  }
  field[length] = '\0';
  return true;
}

bool readPort(const char* from, const char* to, uint16_t* port) {
  uint32_t value = 0;
  if (from == to || to - from > 5) return false;
  for (const char* c = from; c != to; ++c) {
    if (!isDecimalDigit(*c)) return false;
    value = value * 10 + static_cast<uint32_t>(*c - '0');
  }
  if (value == 0 || value > 65535) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

bool isNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || isDecimalDigit(c) || c == '-' ||
         c == '.' || c == '_';
}

// "host:port" or "[v6]:port"; the host is kept as written, brackets included.
bool readHostPort(const char* from, const char* to, ProxySetting* proxy) {
  const char* colon = to;
  while (colon != from && colon[-1] != ':' && colon[-1] != ']') --colon;
  if (colon == from || colon[-1] != ':' || !readPort(colon, to, &proxy->port)) return false;
  const char* hostEnd = colon - 1;
  if (hostEnd == from || hostEnd - from >= static_cast<ptrdiff_t>(kProxyFieldSize)) return false;
  bool bracketed = *from == '[';
  for (const char* c = from; c != hostEnd; ++c) {
    bool allowed = bracketed ? hexDigitValue(*c) >= 0 || *c == ':' || *c == '.' || *c == '%' ||
                                   *c == '[' || *c == ']'
                             : isNameCharacter(*c);
    if (!allowed) return false;
  }
  uint32_t length = 0;
  for (const char* c = from; c != hostEnd; ++c) proxy->host[length++] = *c;
  proxy->host[length] = '\0';
  PlatAddress literal;
  return !bracketed || netParseIpv6(proxy->host, &literal) == 1;
}

bool readProxy(const char* text, ProxySetting* proxy) {
  const char* rest = nullptr;
  proxy->kind = readScheme(text, &rest);
  if (proxy->kind == kProxyNone) return false;
  const char* end = rest;
  while (*end != '\0') ++end;
  if (end != rest && end[-1] == '/') --end;  // "http://proxy:3128/"
  const char* at = end;
  while (at != rest && at[-1] != '@') --at;
  proxy->user[0] = '\0';
  proxy->password[0] = '\0';
  if (at != rest) {
    const char* userEnd = rest;
    while (userEnd != at - 1 && *userEnd != ':') ++userEnd;
    if (userEnd == rest || !decodeInto(rest, userEnd, proxy->user)) return false;
    const char* passwordStart = userEnd == at - 1 ? userEnd : userEnd + 1;
    if (!decodeInto(passwordStart, at - 1, proxy->password)) return false;
  }
  for (const char* c = at; c != end; ++c) {
    if (*c == '/' || *c == '@') return false;
  }
  return readHostPort(at, end, proxy);
}

bool keptAsIs(char c) {
  return isNameCharacter(c) || c == '~';
}

int32_t appendTo(char* buffer, int32_t at, const char* text) {
  while (*text != '\0') buffer[at++] = *text++;
  buffer[at] = '\0';
  return at;
}

int32_t appendEncoded(char* buffer, int32_t at, const char* text) {
  for (; *text != '\0'; ++text) {
    if (keptAsIs(*text)) {
      buffer[at++] = *text;
    } else {
      unsigned char byte = static_cast<unsigned char>(*text);
      buffer[at++] = '%';
      buffer[at++] = "0123456789ABCDEF"[byte >> 4];
      buffer[at++] = "0123456789ABCDEF"[byte & 15];
    }
  }
  buffer[at] = '\0';
  return at;
}

// RFC 4648 base64, for the Basic credentials.
int32_t appendBase64(char* buffer, int32_t at, const unsigned char* bytes, uint32_t length) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (uint32_t i = 0; i < length; i += 3) {
    uint32_t left = length - i;
    uint32_t group = static_cast<uint32_t>(bytes[i]) << 16;
    if (left > 1) group |= static_cast<uint32_t>(bytes[i + 1]) << 8;
    if (left > 2) group |= bytes[i + 2];
    buffer[at++] = kAlphabet[group >> 18 & 63];
    buffer[at++] = kAlphabet[group >> 12 & 63];
    buffer[at++] = left > 1 ? kAlphabet[group >> 6 & 63] : '=';
    buffer[at++] = left > 2 ? kAlphabet[group & 63] : '=';
  }
  buffer[at] = '\0';
  return at;
}

// The target as a proxy takes it: an IPv6 literal in brackets.
int32_t appendTarget(char* buffer, int32_t at, const char* host, uint16_t port) {
  PlatAddress literal;
  bool ipv6 = host[0] != '[' && netParseIpv6(host, &literal) == 1;
  if (ipv6) at = appendTo(buffer, at, "[");
  at = appendTo(buffer, at, host);
  if (ipv6) at = appendTo(buffer, at, "]");
  return at + platFormat(buffer + at, ":%d", static_cast<int>(port));
}

const char* const kSocksReplies[] = {
    "succeeded",
    "general SOCKS server failure",
    "connection not allowed by ruleset",
    "network unreachable",
    "host unreachable",
    "connection refused",
    "TTL expired",
    "command not supported",
    "address type not supported",
};
}  // namespace

// Nothing is changed by a text that cannot be read; empty or NULL means a direct connection.
int32_t netParseProxy(const char* text, ProxySetting* proxy) {
  if (text == nullptr || text[0] == '\0') {
    *proxy = ProxySetting{};
    return 0;
  }
  uint32_t length = 0;
  for (; text[length] != '\0'; ++length) {
    if (length == kLongestProxyText || text[length] <= ' ' || text[length] > '~') {
      return DAP_ERR_CANNOT_COMPLY;
    }
  }
  ProxySetting parsed{};
  if (!readProxy(text, &parsed)) return DAP_ERR_CANNOT_COMPLY;
  *proxy = parsed;
  return 0;
}

// The URL as dapGetString gives it back: the scheme, the user, and "****" for a password.
int32_t netFormatProxy(const ProxySetting* proxy, char* text) {
  text[0] = '\0';
  if (proxy->kind == kProxyNone) return 0;
  int32_t at = appendTo(text, 0, proxy->kind == kProxyHttp ? "http://" : "socks5://");
  if (proxy->user[0] != '\0') {
    at = appendEncoded(text, at, proxy->user);
    if (proxy->password[0] != '\0') at = appendTo(text, at, ":****");
    at = appendTo(text, at, "@");
  }
  at = appendTo(text, at, proxy->host);
  return at + platFormat(text + at, ":%d", static_cast<int>(proxy->port));
}

// VER 5, the methods offered: no authentication, and user/password when there are credentials.
uint32_t netSocksGreeting(const ProxySetting* proxy, unsigned char* message) {
  bool credentials = proxy->user[0] != '\0';
  message[0] = 5;
  message[1] = credentials ? 2 : 1;
  message[2] = 0;
  message[3] = 2;
  return credentials ? 4 : 3;
}

// VER 1, ULEN, UNAME, PLEN, PASSWD.
uint32_t netSocksCredentials(const ProxySetting* proxy, unsigned char* message) {
  uint32_t at = 0;
  message[at++] = 1;
  const char* fields[] = {proxy->user, proxy->password};
  for (const char* field : fields) {
    uint32_t length = textLength(field);
    message[at++] = static_cast<unsigned char>(length);
    for (uint32_t i = 0; i < length; ++i) message[at++] = static_cast<unsigned char>(field[i]);
  }
  return at;
}

// VER 5, CMD CONNECT, RSV, then the target: a literal address as one, a name as a domain name
// for the proxy to resolve.
uint32_t netSocksConnect(const char* host, uint16_t port, unsigned char* message) {
  uint32_t at = 0;
  message[at++] = 5;
  message[at++] = 1;
  message[at++] = 0;
  PlatAddress literal;
  if (netIsDottedQuad(host)) {
    uint32_t address = netParseDottedQuad(host);
    message[at++] = 1;
    for (int shift = 24; shift >= 0; shift -= 8) {
      message[at++] = static_cast<unsigned char>(address >> shift);
    }
  } else if (netParseIpv6(host, &literal)) {
    message[at++] = 4;
    for (uint8_t byte : literal.bytes) message[at++] = byte;
  } else {
    uint32_t length = textLength(host);
    if (length > 255) length = 255;
    message[at++] = 3;
    message[at++] = static_cast<unsigned char>(length);
    for (uint32_t i = 0; i < length; ++i) message[at++] = static_cast<unsigned char>(host[i]);
  }
  message[at++] = static_cast<unsigned char>(port >> 8);
  message[at++] = static_cast<unsigned char>(port & 0xFF);
  return at;
}

// From the first five bytes of a CONNECT reply (VER REP RSV ATYP and the address's first byte),
// its whole length; 0 when it is no SOCKS5 reply.
uint32_t netSocksReplyLength(const unsigned char* head) {
  if (head[0] != 5) return 0;
  switch (head[3]) {
    case 1:
      return 4 + 4 + 2;
    case 3:
      return 4 + 1 + head[4] + 2;
    case 4:
      return 4 + 16 + 2;
    default:
      return 0;
  }
}

const char* netSocksReplyText(uint32_t code) {
  constexpr uint32_t kKnown = sizeof kSocksReplies / sizeof kSocksReplies[0];
  return code < kKnown ? kSocksReplies[code] : "unknown reply";
}

// "CONNECT host:port HTTP/1.1", its Host header and, with credentials, Basic authentication.
// The log shows the request line only.
uint32_t netHttpConnect(const ProxySetting* proxy, const char* host, uint16_t port, char* text) {
  int32_t at = appendTarget(text, appendTo(text, 0, "CONNECT "), host, port);
  at = appendTarget(text, appendTo(text, at, " HTTP/1.1\r\nHost: "), host, port);
  if (proxy->user[0] != '\0') {
    unsigned char credentials[2 * kProxyFieldSize];
    uint32_t length = 0;
    for (const char* c = proxy->user; *c != '\0'; ++c) credentials[length++] = *c;
    credentials[length++] = ':';
    for (const char* c = proxy->password; *c != '\0'; ++c) credentials[length++] = *c;
    at = appendTo(text, at, "\r\nProxy-Authorization: Basic ");
    at = appendBase64(text, at, credentials, length);
  }
  return static_cast<uint32_t>(appendTo(text, at, "\r\n\r\n"));
}

// "HTTP/1.1 200 Connection established": the status, or -1 when the line is no status line.
int32_t netHttpStatus(const char* line) {
  const char* prefix = "HTTP/";
  for (; *prefix != '\0'; ++prefix, ++line) {
    if (*line != *prefix) return -1;
  }
  while (*line != '\0' && *line != ' ') ++line;
  if (*line != ' ' || !isDecimalDigit(line[1]) || !isDecimalDigit(line[2]) ||
      !isDecimalDigit(line[3]))
    return -1;
  if (line[4] != ' ' && line[4] != '\r' && line[4] != '\n' && line[4] != '\0') return -1;
  return (line[1] - '0') * 100 + (line[2] - '0') * 10 + (line[3] - '0');
}
