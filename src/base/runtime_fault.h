// The one fatal stop: a start window that cannot be created and programming errors (an array
// index out of range, a failed memory allocation) end the process here.
#pragma once

#include <cstdint>
#include <optional>

#include "base/text.h"

namespace pellucor {

// The message shown for a fault:
//   "运行时出错!\r\n\r\n" + ["错误代码：" code "\r\n\r\n"] + ["错误信息：" message "\r\n"]
GbkText RuntimeFaultText(std::optional<int32_t> code, const GbkText& message);

// Shows RuntimeFaultText in one message box, then ends the process with exit code -1 without
// running the program's exit routine (atexit handlers, static destructors).
[[noreturn]] void RuntimeFault(std::optional<int32_t> code, const GbkText& message);

// How the fault text reaches the user. The default is the platform's: a message box on
// Windows, standard error elsewhere; the window toolkit installs its own message box, and tests
// install WriteFaultToStderr so that no dialog waits for a click.
using FaultPresenter = void (*)(const GbkText& text);
void SetFaultPresenter(FaultPresenter presenter);
void WriteFaultToStderr(const GbkText& text);

// While one lives, an allocation the heap refuses on this thread throws std::bad_alloc instead
// of ending the process: for buffers whose size someone outside decides (a reply body), so that
// a refusal fails that one request and the rest of the program goes on. Scopes nest.
class FallibleAllocations {
 public:
  FallibleAllocations();
  ~FallibleAllocations();
  FallibleAllocations(const FallibleAllocations&) = delete;
  FallibleAllocations& operator=(const FallibleAllocations&) = delete;
};

}  // namespace pellucor
