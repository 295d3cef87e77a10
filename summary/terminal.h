// Whether standard input is a terminal: flashprep-summary then says that it
// waits for a log there, rather than waiting without a word.
#ifndef FLASHPREP_SUMMARY_TERMINAL_H_
#define FLASHPREP_SUMMARY_TERMINAL_H_

// True when standard input is a terminal (a console on Windows); false for a
// file, a pipe, or when it cannot be told.
bool standard_input_is_terminal();

// The keys that end typed input there: "Ctrl-D" or "Ctrl-Z, Enter".
extern const char kEndOfInputKeys[];

#endif  // FLASHPREP_SUMMARY_TERMINAL_H_
