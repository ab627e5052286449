#include "ftp/upload.h"

#include <array>

#include "ftp/commands.h"
#include "ftp/control.h"
#include "ftp/data_connection.h"
#include "ftp/tls_session.h"
#include "localfs/local_files.h"
#include "platform/local_file.h"

namespace koru {
namespace {

// Reads exactly `length` bytes of `file` and sends them. False on a read or send failure.
bool SendPart(Session& session, int data, LocalFile& file, char* buffer, size_t length) {
  size_t filled = 0;
  while (filled < length) {
    const int64_t got = file.Read(buffer + filled, length - filled);
    if (got <= 0) return false;
    filled += static_cast<size_t>(got);
  }
  return Write_data_block(session, data, std::string_view(buffer, length)) != 0;
}

// Sends the whole file: full blocks with their progress title, then the rest.
bool SendFile(Session& session, int data, LocalFile& file, int32_t progress) {
  Env& env = session.env;
  const int64_t size = file.Size();
  const int64_t full_blocks = size / static_cast<int64_t>(kDataBlockSize);
  const size_t rest = static_cast<size_t>(size % static_cast<int64_t>(kDataBlockSize));
  std::array<char, kDataBlockSize> block;
  std::string title;
  for (int64_t i = 1; i <= full_blocks; ++i) {
    if (!SendPart(session, data, file, block.data(), block.size())) return false;
    if (progress) {
      title.clear();
      AppendDecimal(title, i * static_cast<int64_t>(kDataBlockSize) * 100 / size);
      title += "% Sent";
      env.Title(title);
    }
  }
  return rest == 0 || SendPart(session, data, file, block.data(), rest);
}

// After the local file is open: TYPE I, the data connection, STOR and the data. Returns the
// result and leaves the reply to record in `working`.
int32_t Store(Session& session, int32_t progress, const std::string& remote, LocalFile& file,
              std::string& working) {
  ftpTypeBinary(session);
  DataChannel data(session, ftpOpenDataConnection(session));
  if (!data.is_open()) {
    working = ReportNoDataConnection(session);
    return 0;
  }
  ftpSendCommand(session, "STOR " + remote);
  working = ftpGetReply(session);
  const int32_t code = ftpReplyCode(working);
  if (code != 150 && code != 125) return 0;
  const bool sent =
      ftpSecureData(session, data.channel()) && SendFile(session, data.channel(), file, progress);
  // Closing the data connection tells the server the file is complete. The final reply is
  // read after a failed upload too, so that it is not taken later for the reply to another
  // command; a server known to send none is trusted with what was sent.
  const bool awaited = FinalReplyAwaited(session);
  working = ftpEndTransfer(session, data, FinalReplyWait::kChannel);
  if (!awaited) return sent ? 1 : 0;
  return sent && ftpReplyCode(working) == 226 ? 1 : 0;
}

}  // namespace

int32_t ftpPutFile(Session& session, int32_t progress, const std::string& remote,
                   const std::string& local) {
  Env& env = session.env;
  if (session.state.AbortFlag) return 0;
  std::string working;
  int32_t result = 0;
  LocalFile file(*env.files);
  if (FILEEXISTS(*env.files, local) < 0) {
    working = "001 Local File Not Found";
  } else if (!file.Open(session.pool, local, LocalFile::Mode::kRead)) {
    working = ZeroPad(file.LastError().number, 3) + " Local File Access Error";
    env.TimedLine(" " + working);
  } else {
    result = Store(session, progress, remote, file, working);
    file.Close();
  }
  ftpRecordReply(session, working);
  return result;
}

}  // namespace koru
