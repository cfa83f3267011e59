// The fuzzer's adapter pauses for nothing: the scripted line answers at once.

#include "adapter.hpp"

void adapter_pause() {}
