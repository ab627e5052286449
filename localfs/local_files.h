#ifndef KORU_LOCALFS_LOCAL_FILES_H_
#define KORU_LOCALFS_LOCAL_FILES_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "run/env.h"
#include "run/options.h"
#include "platform/file_system.h"
#include "platform/system_time.h"

// The procedures through which the program touches local files and the calendar: sizes,
// dates, time stamps, the day of the week and temporary files. Paths are used literally
// (symbolic links followed, no wildcards); dates are local time. Nothing is printed except the
// verbose line of SETFILEDATE, and nothing keeps state. The procedures without a FileSystem
// work on the system's; SETFILEDATE works on the Env's.
namespace koru {

// Size in bytes of the entry at `path` (all 64 bits; 0 for a directory); -1 when there is none.
int64_t FILEEXISTS(const std::string& path);
int64_t FILEEXISTS(FileSystem& files, const std::string& path);

// True for a regular file at `path` (links followed); directories, FIFOs, sockets and devices
// are no plain files.
bool PlainLocalFileExists(const std::string& path);
bool PlainLocalFileExists(FileSystem& files, const std::string& path);

// 1 when any entry stands at `path`, else 0.
int32_t EXIST(const std::string& path);
int32_t EXIST(FileSystem& files, const std::string& path);

// Writes the last-write time of `path`, local time, into all eight fields of `date` (week day
// filled in, milliseconds 0). When nothing stands at `path`, `date` is left untouched.
void GETFILEDATE(const std::string& path, SYSTEMTIME& date);
void GETFILEDATE(FileSystem& files, const std::string& path, SYSTEMTIME& date);

// The locale's short date (a two-digit year widened to four digits; a picture that leaves out
// year, month or day replaced by YYYY-MM-DD), one blank and hh:mm (24-hour clock). Seconds and
// milliseconds do not show, so dates of the same minute give the same text and dates of
// different minutes different texts. A record that is no valid calendar time gives "?" and
// its raw fields as MM-DD-YYYY hh:mm, a text no valid date gives.
std::string FORMATFILEDATE(const SYSTEMTIME& date);

// Whether a file last written at `modified_seconds` (since the epoch) is dated in the minute of
// `date` (local time): exactly when FORMATFILEDATE gives both dates the same text, without
// writing either. Both are counted as whole minutes of the local calendar, so an hour that a
// clock change repeats is the same hour, as in the texts.
bool SameLocalMinute(const SYSTEMTIME& date, int64_t modified_seconds);

// The strftime picture FORMATFILEDATE uses for a locale's short date picture `format`.
std::string WidenedShortDateFormat(std::string_view format);

// Stamps `date` (local time) onto `path`: `which` 0 the last-write time, 1 the last-access
// time, -1 both. A creation time cannot be set on this platform: `which` 2, like every other
// value, sets nothing and gives 0. In verbose mode, once the path is known to exist, prints
// "hh:mm:ss * Setting <path> to MM-DD-YYYY hh:mm:ss" (the verbose mode of `options`).
// On success: 1. On failure (empty or missing path, `date` no valid calendar time, the platform
// refusing the time, nothing settable): 0.
int32_t SETFILEDATE(Env& env, const Options& options, const std::string& path,
                    const SYSTEMTIME& date, int32_t which);
// The same; when the platform refused the time, `why` gets the system's text (it stays as it
// was for the other failures).
// SETFILEDATE with `which` -1 for a path the caller knows to be there: it is not looked at
// first. True when both times were set.
bool StampExistingFile(Env& env, const Options& options, const std::string& path,
                       const SYSTEMTIME& date, std::string* why);
int32_t SETFILEDATE(Env& env, const Options& options, const std::string& path,
                    const SYSTEMTIME& date, int32_t which, std::string* why);

// The warning that a local file could not be created, opened, written, extended or stamped:
// "hh:mm:ss * Warning: Local file error: <path> (<why>)".
void WarnLocalFileError(Env& env, const std::string& path, const std::string& why);

// Day of the week, 0 = Sunday to 6 = Saturday, of a date text 'YYYYMMDD' (year from the first
// four characters, month from the fifth and sixth, day from the last two). Always 0 to 6, even
// for texts that are no date.
int32_t DAYOFWEEK(std::string_view yyyymmdd);

// The temporary directory: $TMPDIR, or /tmp when it is unset or empty, ending in "/".
std::string GETWINDOWSTEMPDIR();

// Creates a new empty file named "CCS" + six unique characters in GETWINDOWSTEMPDIR(), or in
// "./" when that fails. On success: the file's name. On failure: empty.
std::string GETNEWTEMPFILE();

}  // namespace koru

#endif  // KORU_LOCALFS_LOCAL_FILES_H_
