#include "sync/origin.h"

#include <cstdint>

namespace koru {
namespace {

std::string SchemeOf(ConnectionSecurity security) {
  switch (security) {
    case ConnectionSecurity::kExplicitTls:
      return "ftpes";
    case ConnectionSecurity::kImplicitTls:
      return "ftps";
    case ConnectionSecurity::kPlain:
      break;
  }
  return "ftp";
}

// "host:port" stays; a bare IPv6 address (more than one colon) is put in brackets.
std::string Authority(const std::string& server) {
  if (server.starts_with('[') || server.find(':') == server.rfind(':')) return server;
  return "[" + server + "]";
}

std::string Encoded(const std::string& path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (const char c : path) {
    const auto byte = static_cast<uint8_t>(c);
    if (byte < 0x21 || byte > 0x7E || c == '%') {
      text += '%';
      text += kHex[byte >> 4];
      text += kHex[byte & 0x0F];
    } else {
      text += c;
    }
  }
  return text;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string Decoded(const std::string& text) {
  std::string path;
  for (size_t i = 0; i < text.size(); ++i) {
    const int high = i + 2 < text.size() && text[i] == '%' ? HexValue(text[i + 1]) : -1;
    const int low = high >= 0 ? HexValue(text[i + 2]) : -1;
    if (low >= 0) {
      path += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      path += text[i];
    }
  }
  return path;
}

}  // namespace

std::string OriginUrl(ConnectionSecurity security, const std::string& server,
                      const std::string& remote_path) {
  const std::string slash = remote_path.starts_with('/') ? "" : "/";
  return SchemeOf(security) + "://" + Authority(server) + slash + Encoded(remote_path);
}

std::string OriginPath(const std::string& url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos) return "";
  const size_t path = url.find('/', scheme + 3);
  return path == std::string::npos ? "" : Decoded(url.substr(path));
}

std::string OriginFileName(const std::string& url) {
  const std::string path = OriginPath(url);
  return path.substr(path.rfind('/') + 1);
}

void RecordOrigin(FileSystem& files, const std::string& path, const std::string& url) {
  files.SetAttribute(path, kOriginAttribute, url);
}

std::string RecordedOrigin(FileSystem& files, const std::string& path) {
  std::string url;
  return files.GetAttribute(path, kOriginAttribute, &url) == 0 ? url : "";
}

}  // namespace koru
