#pragma once

// The words of the line protocol between Korvane and korvane-unohelper. Both sides include this
// header; the helper is built without Qt, so it holds plain constants only.
//
// One line each way, fields separated by tabs, paths and passwords percent-encoded:
//
//   start                      -> started <office process group> <profile>, then
//                                 ok <office process group> <profile> | err <code> <text>
//   load <url path> [password] -> ok <id> <filter> <readonly> | err <code> <text>
//   store <id> <url path> [password] -> ok                    | err <code> <text>
//   close <id>                 -> ok                          | err <code> <text>
//   probe <url path> [password] -> ok <readonly>              | err <code> <text>
//                                 (loads for editing and closes again: whether the office itself
//                                 opens the document read-only; for checks and diagnostics)
//   quit                       -> ok (and the helper ends)

namespace korvane::wordcrypt::officeprotocol {

inline constexpr char kSeparator = '\t';

// Commands.
inline constexpr char kStart[] = "start";
inline constexpr char kLoad[] = "load";
inline constexpr char kStore[] = "store";
inline constexpr char kClose[] = "close";
inline constexpr char kProbe[] = "probe";
inline constexpr char kQuit[] = "quit";

// Reply words.
inline constexpr char kOk[] = "ok";
inline constexpr char kStarted[] = "started"; ///< the office process exists; the outcome of start follows
inline constexpr char kError[] = "err";
/// Appended to a load's reply when the office met a lock on the way.
inline constexpr char kLockedFlag[] = "locked";

// Error codes.
inline constexpr char kNoOffice[] = "nooffice";
inline constexpr char kStartFailed[] = "start";
inline constexpr char kPassword[] = "password";
inline constexpr char kWrongPassword[] = "wrongpassword";
inline constexpr char kLocked[] = "locked";
inline constexpr char kLoadFailed[] = "load";
inline constexpr char kStoreFailed[] = "store";
inline constexpr char kCloseFailed[] = "close";
inline constexpr char kProtocol[] = "protocol";
/// The office died during the call; the helper has ended it and removed its profile.
inline constexpr char kCrashed[] = "crashed";

/// The filter every document is exported with.
inline constexpr char kWord97Filter[] = "MS Word 97";
/// The filters the office reads Word 6 and Word 95 documents with; they are exported as Word 97.
inline constexpr char kWord95Filter[] = "MS Word 95";
inline constexpr char kWord6Filter[] = "MS WinWord 6.0";

} // namespace korvane::wordcrypt::officeprotocol
