// Symbols the clang 14 instrumentation of the extension refers to but the
// runtime inside atheris (asan_with_fuzzer.so) lacks; preloaded beside it.
//
// -fsanitize=fuzzer-no-link also instruments stack depth, which writes the
// thread-local __sancov_lowest_stack.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

__attribute__((tls_model("initial-exec"))) __thread uintptr_t __sancov_lowest_stack;

// UBSan's C++ "function" check (a call through a pointer of the wrong
// function type) lives in the C++ part of the UBSan runtime, which is not
// there: report and stop, as the other checks do under -fno-sanitize-recover.
void __ubsan_handle_function_type_mismatch_v1_abort(void* data, void* value, void* callee,
                                                    void* caller) {
  (void)data, (void)value, (void)callee, (void)caller;
  fputs("UndefinedBehaviorSanitizer: call through a pointer of the wrong function type\n", stderr);
  abort();
}
