// The protocol layers' tests use the shared chip fixture.
#pragma once
#include "chip_fixture.h"

namespace prototest {
using namespace chiptest;
using ProtoTest = chiptest::ChipTest;
}  // namespace prototest
