// kel_vout_log: the library's log lines, handed to the host's callback. Any thread logs; the
// callback runs on the thread that logs (render threads among them), never with a lock of ours
// held. Silent until the host sets a callback.
#ifndef KEL_VOUT_LOG_H
#define KEL_VOUT_LOG_H

#include <windows.h>

#include <cstdarg>

#include "kel_vout.h"

enum kel_log_level { KEL_LOG_ERROR = 0, KEL_LOG_WARNING = 1, KEL_LOG_INFO = 2, KEL_LOG_DEBUG = 3 };

// Whether a line of `level` would reach the host now (cheap: lets callers skip formatting).
bool kel_log_enabled(int level);

// One line, printf conventions, cut at 1 KiB.
void kel_log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void kel_log_v(int level, const char* format, va_list args);

// "<call> failed: <the system's text> (error <n>)", from GetLastError read at once.
void kel_log_last_error(const char* call, int level = KEL_LOG_ERROR);
// "<call> failed: <the result's name or text> (0x<hr>)".
void kel_log_hresult(const char* call, HRESULT hr, int level = KEL_LOG_ERROR);

// The text of an HRESULT: the name of a Direct3D or DXGI result, or the system's message.
// Writes at most size bytes, always terminated.
void kel_hresult_text(HRESULT hr, char* text, size_t size);

// Sets the process-wide callback (null: silent). Returns once no call of the previous callback
// runs any more, unless called from inside the callback itself.
void kel_log_set_callback(kel_vout_log_fn fn, void* user, int32_t max_level);

#endif
