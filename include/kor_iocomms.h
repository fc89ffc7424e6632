/* IO board link (libkor_iocomms) in one include: the transport and the register map of the IO
 * board (oven status and polled blocks, blowers, heater, belts). */
#ifndef KOR_IOCOMMS_H
#define KOR_IOCOMMS_H

#include "kor_belt.h"
#include "kor_blower.h"
#include "kor_heater.h"
#include "kor_modbus.h"
#include "kor_oven_status.h"

#endif /* KOR_IOCOMMS_H */
