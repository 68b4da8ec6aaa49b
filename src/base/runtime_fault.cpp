#include "base/runtime_fault.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "base/codepage.h"

namespace pellucor {

// The platform's own way of showing a fault (env_win32.cpp, env_posix.cpp).
void PresentFaultOnPlatform(const GbkText& text);

namespace {

std::atomic<FaultPresenter> gPresenter{nullptr};
std::atomic<bool> gFaulting{false};
thread_local int tFallible = 0;  // FallibleAllocations alive on this thread

[[noreturn]] void AllocationFault(std::size_t n) {
  if (tFallible > 0) throw std::bad_alloc();
  // Built on the stack: the heap has just refused a request.
  char digits[24];
  int k = sizeof digits;
  digits[--k] = '\0';
  do {
    digits[--k] = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n);
  char message[64];
  std::snprintf(message, sizeof message, "分配 %s 字节内存失败!", digits + k);
  RuntimeFault(std::nullopt, message);
}

}  // namespace

GbkText RuntimeFaultText(std::optional<int32_t> code, const GbkText& message) {
  GbkText text = "运行时出错!\r\n\r\n";
  if (code) text = ConcatText(text, "错误代码：", IntegerToText(*code), "\r\n\r\n");
  if (!message.empty()) text = ConcatText(text, "错误信息：", message, "\r\n");
  return text;
}

void RuntimeFault(std::optional<int32_t> code, const GbkText& message) {
  // A fault raised while showing a fault (say, memory ran out for the message) ends at once.
  if (gFaulting.exchange(true)) std::_Exit(-1);
  const GbkText text = RuntimeFaultText(code, message);
  if (FaultPresenter p = gPresenter.load()) {
    p(text);
  } else {
    PresentFaultOnPlatform(text);
  }
  std::fflush(nullptr);
  std::_Exit(-1);  // not exit(): the program's exit routine must not run
}

FallibleAllocations::FallibleAllocations() {
  ++tFallible;
}

FallibleAllocations::~FallibleAllocations() {
  --tFallible;
}

void SetFaultPresenter(FaultPresenter presenter) {
  gPresenter.store(presenter);
}

void WriteFaultToStderr(const GbkText& text) {
  const std::string utf8 = GbkToUtf8(text.view());
  std::fwrite(utf8.data(), 1, utf8.size(), stderr);
  std::fflush(stderr);
}

}  // namespace pellucor

// Allocation failures end the process through RuntimeFault with the size asked for, instead of
// an exception nobody is prepared to catch.
void* operator new(std::size_t n) {
  if (void* p = std::malloc(n ? n : 1)) return p;
  pellucor::AllocationFault(n);
}
void* operator new[](std::size_t n) {
  return ::operator new(n);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  return std::malloc(n ? n : 1);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  return std::malloc(n ? n : 1);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
