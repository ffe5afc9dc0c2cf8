// Addresses of either family as text: IPv6 literals read and written (RFC 4291, RFC 5952),
// the port of an EPSV reply and the EPRT argument (RFC 2428). Pure text work, the same on
// every platform, so that logs and commands read alike everywhere.
#include "dap32.h"
#include "frame/text.h"
#include "net/net.h"

namespace {
// A dotted quad inside an IPv6 text ("::ffff:192.0.2.1"): exactly four components of at most
// 255 and nothing after them but the end.
bool readEmbeddedQuad(const char* text, const char* end, uint8_t* bytes) {
  for (int component = 0; component < 4; ++component) {
    if (text == end || !isDecimalDigit(*text)) return false;
    uint32_t value = 0;
    for (int digits = 0; text != end && isDecimalDigit(*text); ++digits, ++text) {
      if (digits == 3) return false;
      value = value * 10 + static_cast<uint32_t>(*text - '0');
    }
    if (value > 255) return false;
    bytes[component] = static_cast<uint8_t>(value);
    if (component < 3 && (text == end || *text++ != '.')) return false;
  }
  return text == end;
}

// The groups between start and end, at most eight, with one "::" standing for the zero groups
// it leaves out.
bool readGroups(const char* text, const char* end, uint8_t* bytes) {
  uint16_t groups[8] = {};
  int count = 0;
  int gap = -1;  // where "::" stands
  if (end - text >= 2 && text[0] == ':' && text[1] == ':') {
    gap = 0;
    text += 2;
  } else if (text != end && *text == ':') {
    return false;
  }
  while (text != end) {
    if (count == 8) return false;
    const char* start = text;
    uint32_t value = 0;
    while (text != end && hexDigitValue(*text) >= 0 && text - start < 4) {
      value = value << 4 | static_cast<uint32_t>(hexDigitValue(*text++));
    }
    if (text != end && *text == '.' && count <= 6) {
      uint8_t quad[4];
      if (!readEmbeddedQuad(start, end, quad)) return false;
      groups[count++] = static_cast<uint16_t>(quad[0] << 8 | quad[1]);
      groups[count++] = static_cast<uint16_t>(quad[2] << 8 | quad[3]);
      text = end;
      break;
    }
    if (text == start) return false;
    groups[count++] = static_cast<uint16_t>(value);
    if (text == end) break;
    if (*text++ != ':') return false;
    if (text == end) return false;  // a trailing single ':'
    if (*text == ':') {
      if (gap >= 0) return false;
      gap = count;
      ++text;
    }
  }
  if (gap < 0 ? count != 8 : count > 7) return false;
  int missing = 8 - count;
  for (int from = 0, to = 0; to < 8; ++to) {
    bool zero = gap >= 0 && to >= gap && to < gap + missing;
    uint16_t value = zero ? 0 : groups[from++];
    bytes[2 * to] = static_cast<uint8_t>(value >> 8);
    bytes[2 * to + 1] = static_cast<uint8_t>(value & 0xFF);
  }
  return true;
}

// "%2": a numeric zone; interface names differ between systems and are not taken.
bool readZone(const char* text, const char* end, uint32_t* scope) {
  if (text == end) return false;
  uint64_t value = 0;
  for (; text != end; ++text) {
    if (!isDecimalDigit(*text)) return false;
    value = value * 10 + static_cast<uint64_t>(*text - '0');
    if (value > 0xFFFFFFFFu) return false;
  }
  *scope = static_cast<uint32_t>(value);
  return true;
}

int32_t append(char* buffer, int32_t at, const char* text) {
  while (*text != '\0') buffer[at++] = *text++;
  buffer[at] = '\0';
  return at;
}

int32_t appendNumber(char* buffer, int32_t at, uint32_t value, uint32_t base) {
  char digits[12];
  int count = 0;
  do {
    digits[count++] = "0123456789abcdef"[value % base];
    value /= base;
  } while (value != 0);
  while (count > 0) buffer[at++] = digits[--count];
  buffer[at] = '\0';
  return at;
}

int32_t appendQuad(char* buffer, int32_t at, const uint8_t* bytes) {
  for (int i = 0; i < 4; ++i) {
    if (i > 0) at = append(buffer, at, ".");
    at = appendNumber(buffer, at, bytes[i], 10);
  }
  return at;
}

// The longest run of two or more zero groups, the first of equal ones (RFC 5952): its start,
// or -1.
int longestZeroRun(const uint16_t* groups, int* length) {
  int best = -1;
  *length = 0;
  for (int at = 0; at < 8;) {
    int run = 0;
    while (at + run < 8 && groups[at + run] == 0) ++run;
    if (run >= 2 && run > *length) {
      best = at;
      *length = run;
    }
    at += run > 0 ? run : 1;
  }
  return best;
}

int32_t formatIpv6(const PlatAddress& address, char* text, bool zone) {
  uint16_t groups[8];
  for (int i = 0; i < 8; ++i) {
    groups[i] = static_cast<uint16_t>(address.bytes[2 * i] << 8 | address.bytes[2 * i + 1]);
  }
  int32_t at = 0;
  text[0] = '\0';
  bool mapped = groups[0] == 0 && groups[1] == 0 && groups[2] == 0 && groups[3] == 0 &&
                groups[4] == 0 && groups[5] == 0xFFFF;
  if (mapped) {
    at = appendQuad(text, append(text, 0, "::ffff:"), address.bytes + 12);
  } else {
    int run;
    int gap = longestZeroRun(groups, &run);
    for (int i = 0; i < 8; ++i) {
      if (i == gap) {
        at = append(text, at, "::");
        i += run - 1;
        continue;
      }
      if (i > 0 && i != gap + run) at = append(text, at, ":");
      at = appendNumber(text, at, groups[i], 16);
    }
  }
  if (zone && address.scope != 0) at = appendNumber(text, append(text, at, "%"), address.scope, 10);
  return at;
}
}  // namespace

// "::1", "[::1]", "fe80::1%2".
int32_t netParseIpv6(const char* text, PlatAddress* address) {
  const char* end = text;
  while (*end != '\0') ++end;
  if (text != end && *text == '[') {
    if (end[-1] != ']') return 0;
    ++text;
    --end;
  }
  const char* percent = text;
  while (percent != end && *percent != '%') ++percent;
  PlatAddress parsed{};
  parsed.family = kPlatFamilyV6;
  if (!readGroups(text, percent, parsed.bytes)) return 0;
  if (percent != end && !readZone(percent + 1, end, &parsed.scope)) return 0;
  *address = parsed;
  return 1;
}

int32_t netFormatAnyAddress(const PlatAddress* address, char* buffer, int32_t size, bool zone) {
  char text[kAnyAddressTextSize];
  int32_t length = address->family == kPlatFamilyV6 ? formatIpv6(*address, text, zone)
                                                    : appendQuad(text, 0, address->bytes);
  if (length >= size) {
    if (size > 0) buffer[0] = '\0';
    return 0;
  }
  for (int32_t i = 0; i <= length; ++i) buffer[i] = text[i];
  return length;
}

// "229 Entering Extended Passive Mode (|||6446|)": the delimiter is whatever printable
// character follows the parenthesis, three times, then the port and the delimiter again.
int32_t netParseExtendedPassivePort(const char* reply, uint16_t* port) {
  const char* cursor = reply;
  for (int skip = 0; skip < 4 && *cursor != '\0'; ++skip) ++cursor;
  while (*cursor != '\0' && *cursor != '(') ++cursor;
  if (*cursor != '(') return 0;
  char delimiter = cursor[1];
  if (delimiter < 33 || delimiter > 126 || isDecimalDigit(delimiter)) return 0;
  if (cursor[2] != delimiter || cursor[3] != delimiter) return 0;
  cursor += 4;
  uint32_t value = 0;
  int digits = 0;
  for (; isDecimalDigit(*cursor); ++cursor) {
    if (++digits > 5) return 0;
    value = value * 10 + static_cast<uint32_t>(*cursor - '0');
  }
  if (digits == 0 || value == 0 || value > 65535) return 0;
  if (cursor[0] != delimiter || cursor[1] != ')') return 0;
  *port = static_cast<uint16_t>(value);
  return 1;
}

// "EPRT |1|192.0.2.1|50000|" or "EPRT |2|::1|50000|": the listener's own address, without a
// zone, which means nothing to the server.
void netFormatEprtCommand(Channel* channel) {
  char address[kAnyAddressTextSize];
  netFormatAnyAddress(&channel->localAddress, address, sizeof address, false);
  platFormat(channel->commandBuffer, "EPRT |%d|%s|%d|",
             channel->localAddress.family == kPlatFamilyV6 ? 2 : 1, address,
             static_cast<int>(channel->dataPort));
}
