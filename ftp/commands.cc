#include "ftp/commands.h"

#include <cstdint>

#include "ftp/control.h"
#include "platform/text.h"

namespace koru {
namespace {

std::string_view WithoutTrailingSlashes(std::string_view path) {
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  return path;
}

int32_t ExchangeExpecting(Env& env, int h, std::string_view command, int32_t success) {
  return ftpReplyCode(ftpExchange(env, h, command)) == success ? 1 : 0;
}

// CWD to the path `d` is left with ("/" when nothing is left, so a path of slashes only
// reaches the root, which servers do not take as an empty argument).
int32_t ChangeTo(Env& env, int h, std::string_view d) {
  if (env.state.AbortFlag) return 0;
  const std::string target = d.empty() ? "/" : std::string(d);
  const int32_t code = ftpReplyCode(ftpExchange(env, h, "CWD " + target));
  return code == 250 || code == 220 || code == 200 ? 1 : 0;
}

}  // namespace

int32_t ftpChangeDir(Env& env, int h, const std::string& dir) {
  return ChangeTo(env, h, TrimBlanks(WithoutTrailingSlashes(dir)));
}

int32_t ftpChangeDirExact(Env& env, int h, const std::string& dir) {
  return ChangeTo(env, h, WithoutTrailingSlashes(dir));
}

int64_t ftpFileSize(Env& env, int h, const std::string& file) {
  const std::string reply = ftpExchange(env, h, "SIZE " + file);
  if (ftpReplyCode(reply) != 213) return -1;
  const std::optional<int64_t> size =
      DigitsValue(TrimBlanks(std::string_view(reply).substr(3)), 19);
  return size.value_or(-1);
}

int32_t ftpMakeDir(Env& env, int h, const std::string& dir) {
  return ExchangeExpecting(env, h, "MKD " + dir, 257);
}

int32_t ftpRemoveDir(Env& env, int h, const std::string& dir) {
  return ExchangeExpecting(env, h, "RMD " + dir, 250);
}

int32_t ftpRemoveFile(Env& env, int h, const std::string& file) {
  return ExchangeExpecting(env, h, "DELE " + file, 250);
}

int32_t ftpRename(Env& env, int h, const std::string& from, const std::string& to) {
  return ftpRenameFile(env, h, from, to);
}

int32_t ftpRenameFile(Env& env, int h, const std::string& from, const std::string& to) {
  ftpSendCommand(env, h, "RNFR " + from);
  std::string reply = ftpGetShownReply(env, h);
  int32_t result = 0;
  if (ftpReplyCode(reply) == 350) {
    ftpSendCommand(env, h, "RNTO " + to);
    reply = ftpGetShownReply(env, h);
    result = ftpReplyCode(reply) == 250 ? 1 : 0;
  }
  ftpRecordReply(env, reply);
  return result;
}

void ftpTypeAscii(Env& env, int h) {
  if (!env.state.AbortFlag) ftpExchange(env, h, "TYPE A");
}

void ftpTypeBinary(Env& env, int h) {
  if (!env.state.AbortFlag) ftpExchange(env, h, "TYPE I");
}

std::string ftpPwd(Env& env, int h) {
  if (env.state.AbortFlag) return std::string();
  const std::string reply = ftpExchange(env, h, "PWD");
  if (ftpReplyCode(reply) != 257) return std::string();
  const size_t open = reply.find('"');
  if (open == std::string::npos) return std::string();
  const size_t close = reply.find('"', open + 1);
  return reply.substr(open + 1, close == std::string::npos ? close : close - open - 1);
}

int32_t ftpMakeDirTree(Env& env, int h, const std::string& path) {
  std::string p(WithoutTrailingSlashes(path));
  if (!ftpChangeDir(env, h, p) && !p.empty()) {
    const size_t slash = p.rfind('/');
    const bool has_parent = slash != std::string::npos;
    // A single name is made in the current remote directory, which is there to change into.
    const std::string parent = has_parent ? p.substr(0, slash) : ".";
    const std::string last = has_parent ? p.substr(slash + 1) : p;
    if (ftpChangeDir(env, h, parent) || (has_parent && ftpMakeDirTree(env, h, parent))) {
      ftpMakeDir(env, h, parent + "/" + last);
    }
    p = parent;
  }
  return ftpChangeDir(env, h, p);
}

}  // namespace koru
