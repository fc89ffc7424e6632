/* A program outside the project that uses the installed oven libraries: the configuration
 * library loads a settings store, the IO board link hands out its libmodbus table, and (built
 * through the CMake package) the IO channel encodes an event. Prints what it found. */
#include <stdio.h>
#include <stdlib.h>

#include "kor_iocomms.h"
#include "kor_oven_config.h"
#include "zeb_logger.h"
#ifdef KOR_CONSUMER_VIX_IO
#include "vix_io.h"
#endif

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s CONFIG_DIR\n", argv[0]);
        return 2;
    }
    zeb_logger_t *logger = NULL;
    if (zeb_logger_open(&logger) != 0) {
        return 1;
    }
    int32_t rc = kor_load_oven_config(argv[1], logger);
    oven_config_t *config = calloc(1, sizeof *config);
    if (rc != 0 || config == NULL || kor_get_oven_config(config) != 0) {
        fprintf(stderr, "load failed: %d\n", (int)rc);
        return 1;
    }
    modbus_interface_t *link = kor_create_modbus_instance();
    if (link == NULL || link->new_rtu == NULL || link->read_registers == NULL) {
        fprintf(stderr, "no libmodbus table\n");
        return 1;
    }
    printf("model %s, %d belts, %d blowers, hz %d-%d\n", config->model_name, (int)config->num_belts,
           (int)config->num_blowers, (int)config->inverter_hz_min, (int)config->inverter_hz_max);
#ifdef KOR_CONSUMER_VIX_IO
    int32_t value = 450;
    vix_io_buffer *buffer =
        vix_io_serialize(NULL, "zeb_backend", "zeb.varlo.set_target_temperature", "i", &value,
                         (int32_t)sizeof value);
    char *name = NULL;
    if (buffer == NULL ||
        vix_io_unserialize(buffer, NULL, &name, NULL, NULL) != (int32_t)sizeof value) {
        fprintf(stderr, "vix_io failed\n");
        return 1;
    }
    printf("event %s, %d bytes\n", name, (int)buffer->used);
    vix_io_free_buffer(buffer);
#endif
    free(link);
    free(config);
    zeb_logger_close(logger);
    return 0;
}
