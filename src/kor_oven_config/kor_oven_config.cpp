// Oven configuration library: owns the process's one configuration record (oven_settings) and
// the mutex that guards it. The loader reads the record key by key from the store "settings";
// callers only ever get copies. The store's values arrive from a file a technician may have
// edited by hand, so every count is checked against its array and every text is cut to its
// field before it is stored.
#include "kor_oven_config.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "zeb_config.h"

extern "C" const char *const config_keys_strs[KOR_CONFIG_NUM_SETTINGS] = {
    "oven_model",
    "num_belts",
    "oven_type",
    "serial_number",
    "customer_name",
    "panel_switch_enabled",
    "inverter_vdc_min",
    "inverter_vdc_max",
    "inverter_hz_min",
    "inverter_hz_max",
    "inverter_hz_start",
    "inverter_hz_cool",
    "inverter_photo_delay_secs",
    "num_blowers",
    "blower_speed_high_",
    "blower_speed_idle_",
    "blower_speed_set_",
    "blower_pos_",
    "num_inverters",
    "sensor_pulses_per_min_",
    "heating_pid_p",
    "heating_pid_i",
    "heating_pid_d",
    "heating_active_probes",
    "heating_num_cavity_active_probes",
    "heating_gas_attenuation_active",
    "heating_gas_attenuation_set_temp",
    "heating_gas_attenuation_idle_min",
    "heating_gas_attenuation_startup",
    "heating_gas_attenuation_valve_no_nc",
    "heating_set_temp",
    "heating_temp_min",
    "heating_temp_max",
    "heat_maximum_output",
    "heating_high_limit_enable",
    "belt_length",
    "belt_shaft_",
    "belt_motor_teeth_",
    "belt_conveyor_teeth_",
    "belt_motor_ratio_",
    "belt_direction",
    "belt_min_cook_time_",
    "belt_max_cook_time_",
    "belt_cook_time_",
    "belt_min_rpm_",
    "belt_max_rpm_",
    "belt_pos_",
    "belt_pid_p_",
    "belt_pid_i_",
    "belt_pid_d_",
    "tweak_speed_percent_",
    "belt_rpm_modifier_percent_",
    "hz_rpm_multiplier",
    "hz_rpm_offset",
    "blower_speed_sense_error",
    "photoeye_enable",
    "speed_sensor_configuration",
    "ui_firmware",
    "io_firmware",
    "drive_board_1",
    "drive_board_2",
};

namespace {

constexpr const char *kModule = "kor_oven_config";
constexpr const char *kUnit = "src/kor_oven_config/kor_oven_config";
constexpr const char *kSettingsFile = "settings";
constexpr size_t kPathLen = 256;

std::mutex config_mutex;
oven_config_t oven_settings;
// The library's own logger, for the messages of the updates, which take none. A caller's handle
// serves only the load it was given to: the caller may close it once the load has returned.
class OwnLogger {
  public:
    OwnLogger() { zeb_logger_open(&handle_); }
    ~OwnLogger() { zeb_logger_close(handle_); }
    OwnLogger(const OwnLogger &) = delete;
    OwnLogger &operator=(const OwnLogger &) = delete;
    zeb_logger_t *get() const { return handle_; }

  private:
    zeb_logger_t *handle_ = nullptr;
};

zeb_logger_t *config_logger() {
    static OwnLogger logger;
    return logger.get();
}

// The operator's target temperature (setting 30) lives only in memory: the store keeps its own
// value, so a restart of the manager comes back to it. The board goes on heating to the
// operator's choice, though, so a reload hands that choice back, unless the store's own value
// has changed since the last load; then the store's value wins. Guarded by config_mutex.
struct OperatorSetTemp {
    bool active = false;
    int32_t value = 0;
    int32_t stored = 0;  // the store's heating_set_temp at the last successful load
};
OperatorSetTemp operator_set_temp;

template <size_t N>
void copy_text(char (&field)[N], const char *text) {
    size_t len = strnlen(text, N - 1);
    std::memcpy(field, text, len);
    field[len] = '\0';
}

// Releases a store handle however the loader leaves.
class Store {
  public:
    Store() = default;
    ~Store() {
        if (handle_ != nullptr) {
            zeb_config_close(handle_);
        }
    }
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;
    int open(const char *path) { return zeb_config_open(path, &handle_); }
    zeb_config_t *get() const { return handle_; }
    void close() {
        if (handle_ != nullptr) {
            zeb_config_close(handle_);
            handle_ = nullptr;
        }
    }

  private:
    zeb_config_t *handle_ = nullptr;
};

// The directory, "/", the file name; false when that does not fit the path buffer.
bool store_path(char (&path)[kPathLen], const char *dir, const char *file) {
    int n = std::snprintf(path, sizeof path, "%s/%s", dir, file);
    return n >= 0 && static_cast<size_t>(n) < sizeof path;
}

// Reads the record in the fixed key order. Every read runs only while the status is 0 and
// remembers its setting index first, so the failure line names the key that failed.
class Loader {
  public:
    Loader(const char *dir, oven_config_t &cfg, zeb_logger_t *logger)
        : dir_(dir), cfg_(cfg), logger_(logger) {}

    int32_t run() {
        read_all();
        // The settings store closes here, before the failure line.
        settings_.close();
        if (status_ != 0) {
            zeb_logger_log(logger_, ZEB_LOG_ERR, kModule, "FAILED to load setting %d. Err: %d",
                           setting_, status_);
        }
        return status_;
    }

  private:
    void read_all() {
        char path[kPathLen];
        if (!store_path(path, dir_, kSettingsFile)) {
            status_ = -ENAMETOOLONG;
            return;
        }
        // The failure line names only a setting index: a file that cannot be used at all is
        // named, with what is wrong with it, first.
        status_ = settings_.open(path);
        if (status_ != 0) {
            file_failed("settings store", path);
            return;
        }
        if (struct stat st{}; ::stat(path, &st) == 0 && st.st_size == 0) {
            zeb_logger_log(logger_, ZEB_LOG_ERR, kModule, "Settings store %s is empty", path);
        }

        text(KOR_CONFIG_OVEN_MODEL, cfg_.model_name);
        text(KOR_CONFIG_SERIAL_NUMBER, cfg_.serial_number);
        text(KOR_CONFIG_CUSTOMER_NAME, cfg_.customer_name);
        integer(KOR_CONFIG_OVEN_TYPE, cfg_.oven_type);
        integer(KOR_CONFIG_PANEL_SWITCH_ENABLED, cfg_.panel_switch_enabled);
        integer(KOR_CONFIG_INVERTER_VDC_MIN, cfg_.inverter_vdc_min);
        integer(KOR_CONFIG_INVERTER_VDC_MAX, cfg_.inverter_vdc_max);
        integer(KOR_CONFIG_INVERTER_HZ_MIN, cfg_.inverter_hz_min);
        integer(KOR_CONFIG_INVERTER_HZ_MAX, cfg_.inverter_hz_max);
        integer(KOR_CONFIG_INVERTER_HZ_START, cfg_.inverter_hz_start);
        integer(KOR_CONFIG_INVERTER_HZ_COOL, cfg_.inverter_hz_cool);
        integer(KOR_CONFIG_INVERTER_PHOTO_DELAY_SECS, cfg_.inverter_photo_delay_secs);
        count(KOR_CONFIG_NUM_BLOWERS, cfg_.num_blowers, KOR_CONFIG_MAX_BLOWERS);

        for (int i = 0; status_ == 0 && i < cfg_.num_blowers; ++i) {
            blower_config_t &b = cfg_.blower[i];
            integer(KOR_CONFIG_BLOWER_SPEED_HIGH, b.speed_high, i);
            integer(KOR_CONFIG_BLOWER_SPEED_IDLE, b.speed_idle, i);
            integer(KOR_CONFIG_BLOWER_SPEED_SET, b.speed_set, i);
            text(KOR_CONFIG_BLOWER_POS, b.pos, i);
        }

        count(KOR_CONFIG_NUM_INVERTERS, cfg_.num_inverters, KOR_CONFIG_MAX_INVERTERS);
        for (int i = 0; status_ == 0 && i < cfg_.num_inverters; ++i) {
            integer(KOR_CONFIG_SENSOR_PULSES_PER_MIN, cfg_.inverter_sensor_pulses_per_min[i], i);
        }

        integer(KOR_CONFIG_HEATING_PID_P, cfg_.heating_pid_p);
        integer(KOR_CONFIG_HEATING_PID_I, cfg_.heating_pid_i);
        integer(KOR_CONFIG_HEATING_PID_D, cfg_.heating_pid_d);
        text(KOR_CONFIG_HEATING_ACTIVE_PROBES, cfg_.heating_active_probes);
        integer(KOR_CONFIG_HEATING_NUM_CAVITY_ACTIVE_PROBES, cfg_.heating_num_cavity_active_probes);
        integer(KOR_CONFIG_HEATING_GAS_ATTENUATION_ACTIVE, cfg_.heating_gas_attenuation_active);
        integer(KOR_CONFIG_HEATING_GAS_ATTENUATION_SET_TEMP, cfg_.heating_gas_attenuation_set_temp);
        integer(KOR_CONFIG_HEATING_GAS_ATTENUATION_IDLE_MIN, cfg_.heating_gas_attenuation_idle_min);
        text(KOR_CONFIG_HEATING_GAS_ATTENUATION_STARTUP, cfg_.heating_gas_attenuation_startup);
        integer(KOR_CONFIG_HEATING_GAS_ATTENUATION_VALVE_NO_NC,
                cfg_.heating_gas_attenuation_valve_no_nc);
        integer(KOR_CONFIG_HEATING_SET_TEMP, cfg_.heating_set_temp);

        if (status_ == 0) {
            cfg_.heating_cooldown_temp = KOR_CONFIG_HEATING_COOLDOWN_TEMP;
        }

        integer(KOR_CONFIG_HEATING_TEMP_MIN, cfg_.heating_temp_min);
        integer(KOR_CONFIG_HEATING_TEMP_MAX, cfg_.heating_temp_max);
        integer(KOR_CONFIG_HEAT_MAXIMUM_OUTPUT, cfg_.heat_maximum_output);
        integer(KOR_CONFIG_HEATING_HIGH_LIMIT_ENABLE, cfg_.heating_high_limit_enable);
        count(KOR_CONFIG_NUM_BELTS, cfg_.num_belts, KOR_CONFIG_MAX_BELTS);
        real(KOR_CONFIG_BELT_LENGTH, cfg_.belt_length);
        integer(KOR_CONFIG_BELT_DIRECTION, cfg_.belt_direction);

        // Both belt entries, whatever num_belts says: the board is set up for two belts.
        for (int i = 0; status_ == 0 && i < KOR_CONFIG_MAX_BELTS; ++i) {
            belt_config_t &b = cfg_.belt[i];
            real(KOR_CONFIG_BELT_SHAFT, b.belt_shaft, i);
            integer(KOR_CONFIG_BELT_MOTOR_TEETH, b.belt_motor_teeth, i);
            integer(KOR_CONFIG_BELT_CONVEYOR_TEETH, b.belt_conveyor_teeth, i);
            integer(KOR_CONFIG_BELT_MOTOR_RATIO, b.belt_motor_ratio, i);
            integer(KOR_CONFIG_BELT_MIN_COOK_TIME, b.belt_min_cook_time, i);
            integer(KOR_CONFIG_BELT_MAX_COOK_TIME, b.belt_max_cook_time, i);
            integer(KOR_CONFIG_BELT_COOK_TIME, b.cook_time, i);
            integer(KOR_CONFIG_BELT_MIN_RPM, b.min_rpm, i);
            integer(KOR_CONFIG_BELT_MAX_RPM, b.max_rpm, i);
            text(KOR_CONFIG_BELT_POS, b.pos, i);
            integer(KOR_CONFIG_BELT_PID_P, b.pid_p, i);
            integer(KOR_CONFIG_BELT_PID_I, b.pid_i, i);
            integer(KOR_CONFIG_BELT_PID_D, b.pid_d, i);
            integer(KOR_CONFIG_TWEAK_SPEED_PERCENT, b.tweak_speed_percent, i);
            integer(KOR_CONFIG_BELT_RPM_MODIFIER_PERCENT, b.rpm_modifier_percent, i);
        }

        real(KOR_CONFIG_HZ_RPM_MULTIPLIER, cfg_.hz_rpm_multiplier);
        real(KOR_CONFIG_HZ_RPM_OFFSET, cfg_.hz_rpm_offset);
        sense_error_with_fallback();
        integer(KOR_CONFIG_PHOTOEYE_ENABLE, cfg_.photoeye_enable);
        text(KOR_CONFIG_SPEED_SENSOR_CONFIGURATION, cfg_.speed_sensor_configuration);
    }

    // The key of a setting; per-position keys get the 1-based position appended.
    const char *key(int setting, int pos) {
        if (pos < 0) {
            return config_keys_strs[setting];
        }
        std::snprintf(key_, sizeof key_, "%s%d", config_keys_strs[setting], pos + 1);
        return key_;
    }

    template <size_t N>
    void text(int setting, char (&field)[N], int pos = -1) {
        if (status_ != 0) {
            return;
        }
        setting_ = setting;
        char *value = nullptr;
        status_ = zeb_config_get_string(settings_.get(), key(setting, pos), &value);
        if (status_ == 0 && value != nullptr) {
            copy_text(field, value);
        }
        std::free(value);
    }

    void integer(int setting, int32_t &field, int pos = -1) {
        if (status_ != 0) {
            return;
        }
        setting_ = setting;
        int32_t v = 0;
        status_ = zeb_config_get_int(settings_.get(), key(setting, pos), &v);
        if (status_ == 0) {
            field = v;
        }
    }

    void real(int setting, float &field, int pos = -1) {
        if (status_ != 0) {
            return;
        }
        setting_ = setting;
        float v = 0.0f;
        status_ = zeb_config_get_float(settings_.get(), key(setting, pos), &v);
        if (status_ == 0) {
            field = v;
        }
    }

    // A count outside its array fails the load and is not kept: every reader loops over it.
    void count(int setting, int32_t &field, int32_t max) {
        integer(setting, field);
        if (status_ == 0 && (field < 0 || field > max)) {
            status_ = -1;
            field = 0;
        }
    }

    // Older settings stores lack the key; the model file named after the oven model has it, and
    // the value found there is written back so that the next start reads it directly.
    void sense_error_with_fallback() {
        if (status_ != 0) {
            return;
        }
        const int setting = KOR_CONFIG_BLOWER_SPEED_SENSE_ERROR;
        const char *name = config_keys_strs[setting];
        setting_ = setting;
        char *value = nullptr;
        if (zeb_config_get_string(settings_.get(), name, &value) == 0 && value != nullptr) {
            copy_text(cfg_.blower_speed_sense_error, value);
            std::free(value);
            return;
        }
        std::free(value);
        value = nullptr;

        char path[kPathLen];
        bool fits = store_path(path, dir_, cfg_.model_name);
        zeb_logger_log(logger_, ZEB_LOG_INFO, kModule,
                       "get_current_oven_info: could not read %s from config file. Reading from "
                       "file %s.",
                       name, path);
        // The model name comes from the store: it must name a file in this directory, no more.
        std::string_view model(cfg_.model_name);
        if (!fits || model.empty() || model == "." || model == ".." ||
            model.find('/') != std::string_view::npos) {
            status_ = fits ? -EINVAL : -ENAMETOOLONG;
            return;
        }
        Store model_store;
        status_ = model_store.open(path);
        if (status_ != 0) {
            file_failed("model file", path);
            return;
        }
        status_ = zeb_config_get_string(model_store.get(), name, &value);
        if (status_ == 0 && value != nullptr) {
            copy_text(cfg_.blower_speed_sense_error, value);
            zeb_logger_log(logger_, ZEB_LOG_INFO, kModule,
                           "get_current_oven_info: writing key [%s], string value [%s] to config "
                           "file.",
                           name, cfg_.blower_speed_sense_error);
            int rc = zeb_config_set_string(settings_.get(), name, cfg_.blower_speed_sense_error);
            if (rc != 0) {
                // Not a load failure: the next start falls back to the model file again.
                zeb_logger_log(logger_, ZEB_LOG_WARNING, kModule,
                               "get_current_oven_info: unable to write key [%s] to config file. "
                               "Err: %d",
                               name, rc);
            }
        }
        std::free(value);
    }

    void file_failed(const char *what, const char *path) {
        zeb_logger_log(logger_, ZEB_LOG_ERR, kModule, "Cannot open %s %s: %s", what, path,
                       zeb_config_open_error_text(status_));
    }

    const char *dir_;
    oven_config_t &cfg_;
    zeb_logger_t *logger_;
    Store settings_;
    int32_t status_ = 0;
    int32_t setting_ = 0;
    char key_[kPathLen] = {};
};

int32_t load_locked(const char *dir, zeb_logger_t *logger, bool reload) {
    std::lock_guard<std::mutex> guard(config_mutex);
    std::memset(&oven_settings, 0, sizeof oven_settings);
    const int32_t rc = Loader(dir, oven_settings, logger).run();
    if (rc == 0) {
        const int32_t stored = oven_settings.heating_set_temp;
        if (reload && operator_set_temp.active && stored == operator_set_temp.stored) {
            oven_settings.heating_set_temp = operator_set_temp.value;
        } else {
            operator_set_temp.active = false;
        }
        operator_set_temp.stored = stored;
    }
    return rc;
}

bool belt_index_ok(int32_t index) {
    return index >= 0 && index < KOR_CONFIG_MAX_BELTS;
}

int32_t invalid_input(int line) {
    zeb_logger_log(config_logger(), ZEB_LOG_ERR, kModule, "Invalid input parameter (%s:%d)", kUnit,
                   line);
    return -1;
}

}  // namespace

extern "C" {

int32_t kor_load_oven_config(const char *dir, zeb_logger_t *logger) {
    if (dir == nullptr) {
        return -EINVAL;
    }
    return load_locked(dir, logger, false);
}

int32_t kor_reload_oven_config(const char *dir, zeb_logger_t *logger) {
    if (dir == nullptr) {
        return -EINVAL;
    }
    return load_locked(dir, logger, true);
}

int32_t kor_get_oven_config(oven_config_t *dst) {
    if (dst == nullptr) {
        return -1;
    }
    std::memset(dst, 0, sizeof *dst);
    std::lock_guard<std::mutex> guard(config_mutex);
    std::memcpy(dst, &oven_settings, sizeof *dst);
    return 0;
}

int32_t kor_dump_oven_config(zeb_logger_t *logger) {
    if (logger == nullptr) {
        return -EINVAL;
    }
    // A copy, so that the dump never reads a record that an update is changing.
    oven_config_t c;
    kor_get_oven_config(&c);
// A macro rather than a helper so that the compiler still checks every format against its value.
#define DUMP_LINE(...) zeb_logger_log(logger, ZEB_LOG_INFO, kModule, __VA_ARGS__)
    DUMP_LINE("model_name: %s", c.model_name);
    DUMP_LINE("oven_type: %d", c.oven_type);
    DUMP_LINE("serial_number: %s", c.serial_number);
    DUMP_LINE("customer_name: %s", c.customer_name);
    DUMP_LINE("panel_switch_enabled: %d", c.panel_switch_enabled);
    DUMP_LINE("inverter_vdc_min: %d", c.inverter_vdc_min);
    DUMP_LINE("inverter_vdc_max: %d", c.inverter_vdc_max);
    DUMP_LINE("inverter_hz_min: %d", c.inverter_hz_min);
    DUMP_LINE("inverter_hz_max: %d", c.inverter_hz_max);
    DUMP_LINE("inverter_hz_start: %d", c.inverter_hz_start);
    DUMP_LINE("inverter_hz_cool: %d", c.inverter_hz_cool);
    DUMP_LINE("inverter_photo_delay_secs: %d", c.inverter_photo_delay_secs);
    DUMP_LINE("num_blowers: %d", c.num_blowers);
    for (int i = 0; i < c.num_blowers && i < KOR_CONFIG_MAX_BLOWERS; ++i) {
        DUMP_LINE("blower[%d] pos: %s", i, c.blower[i].pos);
        DUMP_LINE("blower[%d] speed_idle: %d", i, c.blower[i].speed_idle);
        DUMP_LINE("blower[%d] speed_high: %d", i, c.blower[i].speed_high);
        DUMP_LINE("blower[%d] speed_set: %d", i, c.blower[i].speed_set);
    }
    DUMP_LINE("num_inverters: %d", c.num_inverters);
    for (int i = 0; i < c.num_inverters && i < KOR_CONFIG_MAX_INVERTERS; ++i) {
        DUMP_LINE("inverter[%d] inverter_sensor_pulses_per_min: %d", i,
                  c.inverter_sensor_pulses_per_min[i]);
    }
    DUMP_LINE("heating_pid_p: %d", c.heating_pid_p);
    DUMP_LINE("heating_pid_i: %d", c.heating_pid_i);
    DUMP_LINE("heating_pid_d: %d", c.heating_pid_d);
    DUMP_LINE("heating_num_cavity_active_probes: %d", c.heating_num_cavity_active_probes);
    DUMP_LINE("heating_active_probes: %s", c.heating_active_probes);
    DUMP_LINE("heating_gas_attenuation_active: %d", c.heating_gas_attenuation_active);
    DUMP_LINE("heating_gas_attenuation_set_temp: %d", c.heating_gas_attenuation_set_temp);
    DUMP_LINE("heating_gas_attenuation_idle_min: %d", c.heating_gas_attenuation_idle_min);
    DUMP_LINE("heating_gas_attenuation_startup: %s", c.heating_gas_attenuation_startup);
    DUMP_LINE("heating_gas_attenuation_valve_no_nc: %d", c.heating_gas_attenuation_valve_no_nc);
    DUMP_LINE("heating_set_temp: %d", c.heating_set_temp);
    DUMP_LINE("heating_cooldown_temp: %d", c.heating_cooldown_temp);
    DUMP_LINE("heating_temp_min: %d", c.heating_temp_min);
    DUMP_LINE("heating_temp_max: %d", c.heating_temp_max);
    DUMP_LINE("heating_high_limit_enable_key: %d", c.heating_high_limit_enable);
    DUMP_LINE("belt_length: %f", static_cast<double>(c.belt_length));
    DUMP_LINE("belt_direction: %d", c.belt_direction);
    DUMP_LINE("num_belts: %d", c.num_belts);
    for (int i = 0; i < KOR_CONFIG_MAX_BELTS; ++i) {
        const belt_config_t &b = c.belt[i];
        DUMP_LINE("belt[%d] pos: %s", i, b.pos);
        DUMP_LINE("belt[%d] belt_shaft: %f", i, static_cast<double>(b.belt_shaft));
        DUMP_LINE("belt[%d] belt_motor_teeth: %d", i, b.belt_motor_teeth);
        DUMP_LINE("belt[%d] belt_conveyor_teeth: %d", i, b.belt_conveyor_teeth);
        DUMP_LINE("belt[%d] belt_motor_ratio: %d", i, b.belt_motor_ratio);
        DUMP_LINE("belt[%d] min_rpm: %d", i, b.min_rpm);
        DUMP_LINE("belt[%d] max_rpm: %d", i, b.max_rpm);
        DUMP_LINE("belt[%d] cook_time: %d", i, b.cook_time);
        DUMP_LINE("belt[%d] belt_min_cook_time: %d", i, b.belt_min_cook_time);
        DUMP_LINE("belt[%d] belt_max_cook_time: %d", i, b.belt_max_cook_time);
        DUMP_LINE("belt[%d] pid_p: %d", i, b.pid_p);
        DUMP_LINE("belt[%d] pid_i: %d", i, b.pid_i);
        DUMP_LINE("belt[%d] pid_d: %d", i, b.pid_d);
        DUMP_LINE("belt[%d] tweak_speed_percent: %d", i, b.tweak_speed_percent);
        DUMP_LINE("belt[%d] rpm_modifier_percent: %d", i, b.rpm_modifier_percent);
    }
    DUMP_LINE("hz_rpm_multiplier: %f", static_cast<double>(c.hz_rpm_multiplier));
    DUMP_LINE("hz_rpm_offset: %f", static_cast<double>(c.hz_rpm_offset));
#undef DUMP_LINE
    return 0;
}

int32_t kor_config_update_setting_int(uint32_t setting, int32_t index, int32_t value) {
    std::lock_guard<std::mutex> guard(config_mutex);
    oven_config_t &c = oven_settings;
    switch (setting) {
        case KOR_CONFIG_NUM_BELTS:
            if (value < 0 || value > KOR_CONFIG_MAX_BELTS) {
                return invalid_input(__LINE__);
            }
            c.num_belts = value;
            return 0;
        case KOR_CONFIG_HEATING_NUM_CAVITY_ACTIVE_PROBES:
            c.heating_num_cavity_active_probes = value;
            return 0;
        case KOR_CONFIG_HEATING_SET_TEMP:
            c.heating_set_temp = value;
            operator_set_temp.active = true;
            operator_set_temp.value = value;
            return 0;
        case KOR_CONFIG_HEATING_TEMP_MIN:
            c.heating_temp_min = value;
            return 0;
        case KOR_CONFIG_HEATING_TEMP_MAX:
            c.heating_temp_max = value;
            return 0;
        case KOR_CONFIG_UI_FIRMWARE:
            c.ui_firmware = value;
            return 0;
        case KOR_CONFIG_IO_FIRMWARE:
            c.io_firmware = value;
            return 0;
        case KOR_CONFIG_DRIVE_BOARD_1:
            c.drive_board_1 = value;
            return 0;
        case KOR_CONFIG_DRIVE_BOARD_2:
            c.drive_board_2 = value;
            return 0;
        default:
            break;
    }

    int32_t belt_config_t::*field = nullptr;
    switch (setting) {
        case KOR_CONFIG_BELT_SHAFT:
            if (!belt_index_ok(index)) {
                return invalid_input(__LINE__);
            }
            c.belt[index].belt_shaft = static_cast<float>(value);
            return 0;
        case KOR_CONFIG_BELT_MOTOR_TEETH:
            field = &belt_config_t::belt_motor_teeth;
            break;
        case KOR_CONFIG_BELT_CONVEYOR_TEETH:
            field = &belt_config_t::belt_conveyor_teeth;
            break;
        case KOR_CONFIG_BELT_MOTOR_RATIO:
            field = &belt_config_t::belt_motor_ratio;
            break;
        case KOR_CONFIG_BELT_MIN_COOK_TIME:
            field = &belt_config_t::belt_min_cook_time;
            break;
        case KOR_CONFIG_BELT_MAX_COOK_TIME:
            field = &belt_config_t::belt_max_cook_time;
            break;
        case KOR_CONFIG_BELT_COOK_TIME:
            field = &belt_config_t::cook_time;
            break;
        case KOR_CONFIG_BELT_MIN_RPM:
            field = &belt_config_t::min_rpm;
            break;
        case KOR_CONFIG_BELT_MAX_RPM:
            field = &belt_config_t::max_rpm;
            break;
        case KOR_CONFIG_TWEAK_SPEED_PERCENT:
            field = &belt_config_t::tweak_speed_percent;
            break;
        case KOR_CONFIG_BELT_RPM_MODIFIER_PERCENT:
            field = &belt_config_t::rpm_modifier_percent;
            break;
        default:
            return 0;  // not a setting the oven manager may change
    }
    if (!belt_index_ok(index)) {
        return invalid_input(__LINE__);
    }
    c.belt[index].*field = value;
    return 0;
}

int32_t kor_config_update_setting_str(uint32_t setting, const char *text) {
    if (setting != KOR_CONFIG_HEATING_ACTIVE_PROBES) {
        return 0;
    }
    std::lock_guard<std::mutex> guard(config_mutex);
    if (text == nullptr) {
        zeb_logger_log(config_logger(), ZEB_LOG_ERR, kModule, "Parameter NULL (%s:%d)", kUnit,
                       __LINE__);
        return -1;
    }
    copy_text(oven_settings.heating_active_probes, text);
    return 0;
}

int32_t kor_config_update_setting_flt(uint32_t setting, int32_t index, float value) {
    if (setting != KOR_CONFIG_BELT_SHAFT) {
        return 0;
    }
    std::lock_guard<std::mutex> guard(config_mutex);
    if (!belt_index_ok(index)) {
        return invalid_input(__LINE__);
    }
    oven_settings.belt[index].belt_shaft = value;
    return 0;
}

}  // extern "C"
