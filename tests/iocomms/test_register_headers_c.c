/* The register-map headers compile as C11, and C sees the same record layouts as C++. */
#include <stddef.h>

#include "kor_iocomms.h"

size_t kor_c_sizeof_diagnostic_reg_data(void) {
    return sizeof(diagnostic_reg_data_t);
}

size_t kor_c_offsetof_tcstate7(void) {
    return offsetof(diagnostic_reg_data_t, tcstate7);
}

size_t kor_c_sizeof_board_fault(void) {
    return sizeof(board_fault_t);
}

size_t kor_c_sizeof_blower_addresses(void) {
    return sizeof(blower_addresses_t);
}

size_t kor_c_sizeof_belt_addresses(void) {
    return sizeof(belt_addresses_t);
}
