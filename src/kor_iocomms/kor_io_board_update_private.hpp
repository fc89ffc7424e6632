// Inside of the IO board update, for the tests and the benchmark of libkor_iocomms only: the
// board is given a second after entering CPI mode and before the trailer, which a test or a
// measurement of the line has no reason to sit through.
#pragma once

#include <cstdint>

// Sets the length of both waits of an update in milliseconds (1000 unless changed; a negative
// value restores 1000). Affects updates started afterwards.
extern "C" void kor_board_update_set_wait_ms(int32_t ms);
