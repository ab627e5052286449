#ifndef KORU_PLATFORM_TERMINAL_STATE_H_
#define KORU_PLATFORM_TERMINAL_STATE_H_

// What the console shares with its signal handlers and atexit: the terminal's mode, the status
// line drawn on it and the signals seen. Process-wide, because handlers can reach nothing else;
// everything a handler calls is async-signal-safe.
//
// Job control: KORU holds the terminal only while its process group is the terminal's
// foreground group. Ctrl-Z (SIGTSTP) erases the status line, gives the terminal its mode back
// and stops the process; every continue (SIGCONT) is counted, so the console checks the
// foreground again and takes the terminal back when it has it.
#include <string_view>

namespace koru::terminal_state {

// Reads the mode of standard input as found. False when standard input is no terminal.
bool SaveMode();
// The terminal whose foreground decides whether KORU holds it (-1: none, always held).
void SetTerminalFd(int fd);
// True when this process's group is the terminal's foreground group, or there is no terminal
// to ask (no job control there).
bool InForeground();
// Puts standard input in key mode: no line buffering, no echo, reads that never wait. The mode
// as found is read again first unless key mode is already on (the shell may have changed it
// while KORU was stopped). Only in the foreground: elsewhere it would stop the process.
void EnterKeyMode();
// Puts standard input in secret mode: the mode as found (line editing, signals) with echo off,
// input typed before it dropped. Every exit path leaves it as it leaves key mode.
void EnterSecretMode();
// Gives standard input its mode as found back when key mode is on and KORU is in the
// foreground.
void LeaveKeyMode();

// Where the status line is drawn (-1: nowhere), and whether it shows now.
void SetStatusFd(int fd);
bool StatusDrawn();
// Draws the status line: `bytes` go back to the start of the line and replace it.
void DrawStatusLine(std::string_view bytes);
// Erases the status line when it shows.
void EraseStatusLine();
// The window title: the terminal's own title is pushed on its title stack before KORU's first
// title (xterm's CSI 22;0 t) and popped back at the end (CSI 23;0 t), both only in the
// foreground. `fd` is where titles go (-1: nowhere).
void SetTitleFd(int fd);
// Pushes the terminal's title unless it is already saved.
void SaveTitle();
// Pops the title SaveTitle pushed, if it did.
void RestoreTitle();
// Erases the status line, leaves key mode and gives the terminal its title back: for every exit
// path.
void RestoreTerminal();

// SIGINT and SIGTERM are counted (a second one ends the process at once, terminal restored),
// SIGWINCH too; SIGTSTP and SIGCONT handle job control as above (only with a terminal).
void InstallAbortHandlers();
void InstallWindowChangeHandler();
void InstallJobControlHandlers();

// How many of each signal came so far.
int AbortSignals();
int WidthChanges();
int Continues();

}  // namespace koru::terminal_state

#endif  // KORU_PLATFORM_TERMINAL_STATE_H_
