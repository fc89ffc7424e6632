// kor_config_check: a technician's check of an oven configuration directory before it goes on an
// oven. It loads DIR/settings through the configuration library exactly as the oven manager does,
// then reads every key itself, because the loader stops at the first bad key and a technician
// wants the whole list at once: missing keys, malformed values, counts beyond the record's arrays,
// minimums above their maximums, set points outside their bounds and cook times the belt motor
// cannot run. The loader runs on a scratch copy: when a key falls back to the model file it writes
// the key into the store, and a check must leave the directory as it found it.
// Store files are read only when they are regular files, without blocking (a FIFO in the place
// of one is a problem of the store, never a hang).
// Exit status: 0 clean, 1 problems found, 2 usage error, unreadable directory or no room for
// the scratch copy (TMPDIR missing or full).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "kor_oven_config.h"
#include "zeb_config.h"
#include "zeb_logger.h"

namespace {

namespace fs = std::filesystem;

constexpr int kExitClean = 0;
constexpr int kExitProblems = 1;
constexpr int kExitUsage = 2;
constexpr const char *kSettings = "settings";

__attribute__((format(printf, 1, 2))) std::string format(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) {
        std::vsnprintf(out.data(), out.size() + 1, fmt, again);
    }
    va_end(again);
    return out;
}

std::string positional(const char *prefix, int index) {
    return prefix + std::to_string(index + 1);
}

void print_usage(FILE *out) {
    std::fputs(
        "Usage: kor_config_check DIR\n"
        "Checks the oven configuration directory DIR before it goes on an oven: loads "
        "DIR/settings\n"
        "as kor_oven_mgr does and lists, one line each and naming the key, every missing key,\n"
        "malformed value, count beyond its array (blowers 0-4, inverters 0-4, belts 0-2), minimum\n"
        "above its maximum (inverter Hz and VDC, heating temperature, belt RPM and cook times),\n"
        "blower speed outside the inverter range, set temperature outside its bounds, cook time\n"
        "outside its belt's bounds and cook time whose belt RPM the motor cannot reach.\n"
        "DIR itself is not changed.\n"
        "The loader runs on a copy in a scratch folder under $TMPDIR (default /tmp).\n"
        "Exit status: 0 the store loads and runs cleanly, 1 problems were found,\n"
        "2 usage error, unreadable directory or no room for the scratch copy.\n",
        out);
}

// Owns an open store handle.
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
    int open(const std::string &path) { return zeb_config_open(path.c_str(), &handle_); }
    zeb_config_t *get() const { return handle_; }

  private:
    zeb_config_t *handle_ = nullptr;
};

// A directory under $TMPDIR (or /tmp) that goes with its contents.
class ScratchDir {
  public:
    ScratchDir() {
        const char *tmp = std::getenv("TMPDIR");
        parent_ = tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
        std::string pattern = parent_ + "/kor_config_check.XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        } else {
            error_ = errno;
        }
    }
    ~ScratchDir() {
        if (!path_.empty()) {
            std::error_code ec;
            fs::remove_all(path_, ec);
        }
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    const std::string &path() const { return path_; }
    const std::string &parent() const { return parent_; }
    int error() const { return error_; }

  private:
    std::string parent_;
    std::string path_;
    int error_ = 0;
};

// Reads a regular file of at most 16 MiB (the store's own bound), refusing anything else without
// blocking on it; 0 or -errno.
int read_regular_file(const std::string &path, std::string &data) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return -errno;
    }
    struct stat st {};
    int rc = ::fstat(fd, &st) != 0 ? -errno : (S_ISREG(st.st_mode) ? 0 : -EINVAL);
    if (rc == 0 && st.st_size > (16 << 20)) {
        rc = -EFBIG;
    }
    char buffer[8192];
    while (rc == 0) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno != EINTR) {
            rc = -errno;
        } else if (n == 0) {
            break;
        } else if (n > 0) {
            data.append(buffer, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    return rc;
}

// Writes a new file (never one that exists); 0 or -errno.
int write_new_file(const std::string &path, const std::string &data) {
    FILE *out = std::fopen(path.c_str(), "wbx");
    if (out == nullptr) {
        return -errno;
    }
    const bool written = std::fwrite(data.data(), 1, data.size(), out) == data.size();
    const int err = written ? 0 : errno;
    if (std::fclose(out) != 0 || !written) {
        return -(err != 0 ? err : errno);
    }
    return 0;
}

// Owns a logger handle; the lines of the configuration library arrive through the sink.
class CapturedLog {
  public:
    CapturedLog() {
        zeb_logger_set_sink(&CapturedLog::sink, this);
        zeb_logger_open(&logger_);
    }
    ~CapturedLog() {
        zeb_logger_close(logger_);
        zeb_logger_set_sink(nullptr, nullptr);
    }
    CapturedLog(const CapturedLog &) = delete;
    CapturedLog &operator=(const CapturedLog &) = delete;
    zeb_logger_t *get() const { return logger_; }
    const std::vector<std::string> &lines() const { return lines_; }

  private:
    static void sink(void *user, int, const char *, const char *message) {
        static_cast<CapturedLog *>(user)->lines_.emplace_back(message != nullptr ? message : "");
    }
    zeb_logger_t *logger_ = nullptr;
    std::vector<std::string> lines_;
};

struct BlowerValues {
    std::optional<int32_t> high, idle, set;
};

struct BeltValues {
    std::optional<float> shaft;
    std::optional<int32_t> motor_teeth, conveyor_teeth, motor_ratio, min_cook, max_cook, cook,
        min_rpm, max_rpm, tweak, modifier;
};

// What the direct reads found; a value that is missing or malformed stays empty, so the checks
// that need it are skipped (its own problem is already reported).
struct Values {
    std::optional<std::string> model;
    std::optional<int32_t> vdc_min, vdc_max, hz_min, hz_max;
    int blowers = 0;
    std::array<BlowerValues, KOR_CONFIG_MAX_BLOWERS> blower;
    std::optional<int32_t> set_temp, temp_min, temp_max;
    std::optional<float> belt_length;
    std::array<BeltValues, KOR_CONFIG_MAX_BELTS> belt;
};

class Checker {
  public:
    Checker(std::string dir, std::string scratch)
        : dir_(std::move(dir)), scratch_(std::move(scratch)) {}

    // Reads and checks everything; the problems found, in key order, the loader's verdict last.
    void run() {
        const std::string path = dir_ + "/" + kSettings;
        if (int rc = store_.open(path); rc != 0) {
            problem(format("%s: cannot open %s: %s", kSettings, path.c_str(),
                           zeb_config_open_error_text(rc)));
            return;
        }
        if (struct stat st{}; ::stat(path.c_str(), &st) == 0 && st.st_size == 0) {
            problem(format("%s: %s is empty", kSettings, path.c_str()));
            return;
        }
        read_keys();
        check_bounds();
        run_loader();
    }

    const std::vector<std::string> &problems() const { return problems_; }
    const std::vector<std::string> &notes() const { return notes_; }
    // Why the scratch copy could not be made; empty when it was.
    const std::string &scratch_error() const { return scratch_error_; }
    // What the library loaded, for the clean verdict.
    const std::string &loaded() const { return loaded_; }

  private:
    void problem(std::string line) { problems_.push_back(std::move(line)); }

    std::string raw(const std::string &key) {
        char *value = nullptr;
        std::string text;
        if (zeb_config_get_string(store_.get(), key.c_str(), &value) == 0 && value != nullptr) {
            text = value;
        }
        std::free(value);
        return text;
    }

    // A read that failed: missing, malformed or too large, each said in the technician's words.
    void read_failed(const std::string &key, int rc, const char *kind) {
        if (rc == -ENOENT) {
            problem(key + ": missing");
        } else if (rc == -EINVAL) {
            problem(format("%s: \"%s\" is not %s", key.c_str(), raw(key).c_str(), kind));
        } else if (rc == -ERANGE) {
            problem(
                format("%s: \"%s\" does not fit a 32-bit integer", key.c_str(), raw(key).c_str()));
        } else {
            problem(format("%s: cannot be read (%s)", key.c_str(), std::strerror(-rc)));
        }
    }

    std::optional<int32_t> integer(const std::string &key) {
        int32_t value = 0;
        if (int rc = zeb_config_get_int(store_.get(), key.c_str(), &value); rc != 0) {
            read_failed(key, rc, "a whole number");
            return std::nullopt;
        }
        return value;
    }

    std::optional<float> real(const std::string &key) {
        float value = 0.0f;
        if (int rc = zeb_config_get_float(store_.get(), key.c_str(), &value); rc != 0) {
            read_failed(key, rc, "a number");
            return std::nullopt;
        }
        return value;
    }

    std::optional<std::string> text(const std::string &key) {
        char *value = nullptr;
        int rc = zeb_config_get_string(store_.get(), key.c_str(), &value);
        std::optional<std::string> out;
        if (rc == 0 && value != nullptr) {
            out = value;
        } else {
            read_failed(key, rc, "a text");
        }
        std::free(value);
        return out;
    }

    // A count the record holds arrays for; returns how many positions to read (0 when unusable).
    int count(const char *key, int32_t max, const char *what) {
        const std::optional<int32_t> n = integer(key);
        if (!n) {
            return 0;
        }
        if (*n < 0 || *n > max) {
            problem(format("%s: %d is beyond the %d %s the configuration holds (0-%d)", key, *n,
                           max, what, max));
            return *n < 0 ? 0 : max;
        }
        return *n;
    }

    // The keys the loader reads, in its order.
    void read_keys() {
        v_.model = text("oven_model");
        text("serial_number");
        text("customer_name");
        integer("oven_type");
        integer("panel_switch_enabled");
        v_.vdc_min = integer("inverter_vdc_min");
        v_.vdc_max = integer("inverter_vdc_max");
        v_.hz_min = integer("inverter_hz_min");
        v_.hz_max = integer("inverter_hz_max");
        integer("inverter_hz_start");
        integer("inverter_hz_cool");
        integer("inverter_photo_delay_secs");

        v_.blowers = count("num_blowers", KOR_CONFIG_MAX_BLOWERS, "blowers");
        for (int i = 0; i < v_.blowers; ++i) {
            BlowerValues &b = v_.blower[i];
            b.high = integer(positional("blower_speed_high_", i));
            b.idle = integer(positional("blower_speed_idle_", i));
            b.set = integer(positional("blower_speed_set_", i));
            text(positional("blower_pos_", i));
        }
        const int inverters = count("num_inverters", KOR_CONFIG_MAX_INVERTERS, "inverters");
        for (int i = 0; i < inverters; ++i) {
            integer(positional("sensor_pulses_per_min_", i));
        }

        for (const char *key : {"heating_pid_p", "heating_pid_i", "heating_pid_d"}) {
            integer(key);
        }
        text("heating_active_probes");
        for (const char *key :
             {"heating_num_cavity_active_probes", "heating_gas_attenuation_active",
              "heating_gas_attenuation_set_temp", "heating_gas_attenuation_idle_min"}) {
            integer(key);
        }
        text("heating_gas_attenuation_startup");
        integer("heating_gas_attenuation_valve_no_nc");
        v_.set_temp = integer("heating_set_temp");
        v_.temp_min = integer("heating_temp_min");
        v_.temp_max = integer("heating_temp_max");
        integer("heat_maximum_output");
        integer("heating_high_limit_enable");
        count("num_belts", KOR_CONFIG_MAX_BELTS, "belts");
        v_.belt_length = real("belt_length");
        integer("belt_direction");

        // Both belts, whatever num_belts says: the IO board is set up for two.
        for (int i = 0; i < KOR_CONFIG_MAX_BELTS; ++i) {
            BeltValues &b = v_.belt[i];
            b.shaft = real(positional("belt_shaft_", i));
            b.motor_teeth = integer(positional("belt_motor_teeth_", i));
            b.conveyor_teeth = integer(positional("belt_conveyor_teeth_", i));
            b.motor_ratio = integer(positional("belt_motor_ratio_", i));
            b.min_cook = integer(positional("belt_min_cook_time_", i));
            b.max_cook = integer(positional("belt_max_cook_time_", i));
            b.cook = integer(positional("belt_cook_time_", i));
            b.min_rpm = integer(positional("belt_min_rpm_", i));
            b.max_rpm = integer(positional("belt_max_rpm_", i));
            text(positional("belt_pos_", i));
            integer(positional("belt_pid_p_", i));
            integer(positional("belt_pid_i_", i));
            integer(positional("belt_pid_d_", i));
            b.tweak = integer(positional("tweak_speed_percent_", i));
            b.modifier = integer(positional("belt_rpm_modifier_percent_", i));
        }

        real("hz_rpm_multiplier");
        real("hz_rpm_offset");
        sense_error();
        integer("photoeye_enable");
        text("speed_sensor_configuration");
    }

    // Older stores lack blower_speed_sense_error; the oven manager then takes it from the model
    // file named after oven_model and writes it into the store. Only both missing is a problem.
    void sense_error() {
        const char *key = "blower_speed_sense_error";
        char *value = nullptr;
        int rc = zeb_config_get_string(store_.get(), key, &value);
        std::free(value);
        value = nullptr;
        if (rc != -ENOENT) {
            if (rc != 0) {
                read_failed(key, rc, "a text");
            }
            return;
        }
        if (!v_.model) {
            problem(
                format("%s: missing, and no oven_model names a model file to take it from", key));
            return;
        }
        const std::string &model = *v_.model;
        if (model.empty() || model == "." || model == ".." ||
            model.find('/') != std::string::npos) {
            problem(format("%s: missing, and oven_model \"%s\" names no model file", key,
                           model.c_str()));
            return;
        }
        const std::string path = dir_ + "/" + model;
        Store model_store;
        if (int orc = model_store.open(path); orc != 0) {
            problem(format("%s: missing, and the model file %s cannot be opened: %s", key,
                           path.c_str(), zeb_config_open_error_text(orc)));
            return;
        }
        rc = zeb_config_get_string(model_store.get(), key, &value);
        if (rc == 0 && value != nullptr) {
            notes_.push_back(
                format("%s: not in %s; the oven manager takes \"%s\" from the model "
                       "file %s and writes it into %s",
                       key, kSettings, value, model.c_str(), kSettings));
        } else {
            problem(format("%s: missing, also from the model file %s", key, path.c_str()));
        }
        std::free(value);
    }

    void min_not_above_max(const std::string &min_key, std::optional<int32_t> min,
                           const std::string &max_key, std::optional<int32_t> max) {
        if (min && max && *min > *max) {
            problem(format("%s: %d is above %s %d", min_key.c_str(), *min, max_key.c_str(), *max));
        }
    }

    bool positive(const std::string &key, std::optional<int32_t> value) {
        if (value && *value <= 0) {
            problem(format("%s: %d must be above 0", key.c_str(), *value));
            return false;
        }
        return value.has_value();
    }

    bool positive(const std::string &key, std::optional<float> value) {
        if (value && !(*value > 0.0f)) {
            problem(format("%s: %g must be above 0", key.c_str(), static_cast<double>(*value)));
            return false;
        }
        return value.has_value();
    }

    void check_bounds() {
        min_not_above_max("inverter_vdc_min", v_.vdc_min, "inverter_vdc_max", v_.vdc_max);
        min_not_above_max("inverter_hz_min", v_.hz_min, "inverter_hz_max", v_.hz_max);
        min_not_above_max("heating_temp_min", v_.temp_min, "heating_temp_max", v_.temp_max);

        const bool hz_range = v_.hz_min && v_.hz_max && *v_.hz_min <= *v_.hz_max;
        for (int i = 0; hz_range && i < v_.blowers; ++i) {
            const BlowerValues &b = v_.blower[i];
            const std::pair<const char *, std::optional<int32_t>> speeds[] = {
                {"blower_speed_set_", b.set},
                {"blower_speed_high_", b.high},
                {"blower_speed_idle_", b.idle}};
            for (const auto &[prefix, speed] : speeds) {
                if (speed && (*speed < *v_.hz_min || *speed > *v_.hz_max)) {
                    problem(format("%s: %d is outside the inverter range %d-%d",
                                   positional(prefix, i).c_str(), *speed, *v_.hz_min, *v_.hz_max));
                }
            }
        }

        if (v_.set_temp && v_.temp_min && v_.temp_max && *v_.temp_min <= *v_.temp_max &&
            (*v_.set_temp < *v_.temp_min || *v_.set_temp > *v_.temp_max)) {
            problem(
                format("heating_set_temp: %d is outside heating_temp_min-heating_temp_max %d-%d",
                       *v_.set_temp, *v_.temp_min, *v_.temp_max));
        }

        const bool length_ok = positive("belt_length", v_.belt_length);
        for (int i = 0; i < KOR_CONFIG_MAX_BELTS; ++i) {
            check_belt(i, length_ok);
        }
    }

    void check_belt(int i, bool length_ok) {
        const BeltValues &b = v_.belt[i];
        const int n = i + 1;
        min_not_above_max(positional("belt_min_rpm_", i), b.min_rpm, positional("belt_max_rpm_", i),
                          b.max_rpm);
        min_not_above_max(positional("belt_min_cook_time_", i), b.min_cook,
                          positional("belt_max_cook_time_", i), b.max_cook);

        const bool cook_ok = positive(positional("belt_cook_time_", i), b.cook);
        const bool min_cook_ok = positive(positional("belt_min_cook_time_", i), b.min_cook);
        if (cook_ok && b.min_cook && b.max_cook && *b.min_cook <= *b.max_cook &&
            (*b.cook < *b.min_cook || *b.cook > *b.max_cook)) {
            problem(format("belt_cook_time_%d: %d s is outside belt %d's cook times %d-%d", n,
                           *b.cook, n, *b.min_cook, *b.max_cook));
        }

        // The speed terms: all of them must be usable before any RPM means something.
        bool speed_ok = length_ok;
        speed_ok = positive(positional("belt_shaft_", i), b.shaft) && speed_ok;
        speed_ok = positive(positional("belt_motor_teeth_", i), b.motor_teeth) && speed_ok;
        speed_ok = positive(positional("belt_conveyor_teeth_", i), b.conveyor_teeth) && speed_ok;
        speed_ok = positive(positional("belt_motor_ratio_", i), b.motor_ratio) && speed_ok;
        speed_ok = positive(positional("belt_rpm_modifier_percent_", i), b.modifier) && speed_ok;
        if (b.tweak && *b.tweak <= -100) {
            problem(format("tweak_speed_percent_%d: %d stops the belt (must be above -100)", n,
                           *b.tweak));
            speed_ok = false;
        }
        if (!speed_ok || !b.tweak || !b.min_rpm || !b.max_rpm || *b.min_rpm > *b.max_rpm) {
            return;
        }
        // The cook time itself, and both ends of what the UI may ask: a cook time the motor
        // cannot run is clamped to the belt's limit, and the food comes out wrong.
        const std::pair<const char *, std::optional<int32_t>> cooks[] = {
            {"belt_cook_time_", cook_ok ? b.cook : std::nullopt},
            {"belt_min_cook_time_", min_cook_ok ? b.min_cook : std::nullopt},
            {"belt_max_cook_time_", b.max_cook && *b.max_cook > 0 ? b.max_cook : std::nullopt}};
        for (const auto &[prefix, cook] : cooks) {
            if (!cook) {
                continue;
            }
            const long long rpm = belt_rpm(i, *cook);
            if (rpm < *b.min_rpm || rpm > *b.max_rpm) {
                problem(format("%s: %d s needs %lld RPM, belt %d reaches %d-%d",
                               positional(prefix, i).c_str(), *cook, rpm, n, *b.min_rpm,
                               *b.max_rpm));
            }
        }
    }

    // The motor RPM that runs belt i through the cavity in cook_time seconds, computed like the
    // operation service's conversion: single precision, operation by operation, then roundf.
    long long belt_rpm(int i, int32_t cook_time) const {
        const BeltValues &b = v_.belt[i];
        const float tweak = 1 + static_cast<float>(*b.tweak) / 100;
        const float modifier = static_cast<float>(*b.modifier) / 100;
        const float rpm = tweak * modifier * 60 *
                          (*b.conveyor_teeth * *v_.belt_length * *b.motor_ratio) /
                          (*b.motor_teeth * *b.shaft * cook_time);
        const float rounded = std::roundf(rpm);
        if (!std::isfinite(rounded) || rounded > 1e15f) {
            return std::numeric_limits<long long>::max();
        }
        return static_cast<long long>(rounded);
    }

    // The library's own load, as the oven manager does it, on a scratch copy of the store and
    // the model file. Its failure line names the setting it stopped at.
    void run_loader() {
        std::string text;
        if (int rc = read_regular_file(dir_ + "/" + kSettings, text); rc != 0) {
            problem(format("%s: cannot be copied: %s", kSettings, zeb_config_open_error_text(rc)));
            return;
        }
        if (!copy_into_scratch(kSettings, text)) {
            return;
        }
        text.clear();
        // A model file that cannot be read is missing from the copy; the loader says so.
        if (v_.model && !v_.model->empty() && v_.model->find('/') == std::string::npos &&
            *v_.model != "." && *v_.model != ".." &&
            read_regular_file(dir_ + "/" + *v_.model, text) == 0 &&
            !copy_into_scratch(*v_.model, text)) {
            return;
        }

        CapturedLog log;
        const int32_t rc = kor_load_oven_config(scratch_.c_str(), log.get());
        if (rc == 0) {
            oven_config_t cfg;
            kor_get_oven_config(&cfg);
            loaded_ = format("model %s, %d belt%s, %d blower%s", cfg.model_name, cfg.num_belts,
                             cfg.num_belts == 1 ? "" : "s", cfg.num_blowers,
                             cfg.num_blowers == 1 ? "" : "s");
            return;
        }
        std::string failure = format("FAILED to load settings. Err: %d", rc);
        int setting = -1;
        for (const std::string &line : log.lines()) {
            int index = 0;
            int code = 0;
            if (std::sscanf(line.c_str(), "FAILED to load setting %d. Err: %d", &index, &code) ==
                2) {
                failure = line;
                setting = index;
            }
        }
        const char *key = setting >= 0 && setting < KOR_CONFIG_NUM_SETTINGS
                              ? config_keys_strs[setting]
                              : kSettings;
        problem(format("%s: the oven manager stops loading here: \"%s\"", key, failure.c_str()));
    }

    // A copy that cannot be written is the check's own trouble, not the store's.
    bool copy_into_scratch(const std::string &name, const std::string &text) {
        const std::string path = scratch_ + "/" + name;
        if (int rc = write_new_file(path, text); rc != 0) {
            scratch_error_ = format("cannot write %s: %s", path.c_str(), std::strerror(-rc));
            return false;
        }
        return true;
    }

    std::string dir_;
    std::string scratch_;
    std::string scratch_error_;
    Store store_;
    Values v_;
    std::vector<std::string> problems_;
    std::vector<std::string> notes_;
    std::string loaded_;
};

bool readable_directory(const std::string &dir, std::string &why) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) {
        why = std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        why = std::strerror(ENOTDIR);
        return false;
    }
    DIR *d = ::opendir(dir.c_str());
    if (d == nullptr) {
        why = std::strerror(errno);
        return false;
    }
    ::closedir(d);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::string_view> args(argv + 1, argv + argc);
    for (std::string_view a : args) {
        if (a == "--help" || a == "-h") {
            print_usage(stdout);
            return kExitClean;
        }
    }
    if (args.size() != 1 || args[0].empty() || (args[0].size() > 1 && args[0][0] == '-')) {
        print_usage(stderr);
        return kExitUsage;
    }
    std::string dir(args[0]);
    while (dir.size() > 1 && dir.back() == '/') {
        dir.pop_back();
    }
    std::string why;
    if (!readable_directory(dir, why)) {
        std::fprintf(stderr, "kor_config_check: cannot read the directory %s: %s\n", dir.c_str(),
                     why.c_str());
        return kExitUsage;
    }

    // The check's own trouble, not the store's: said apart, before anything is read.
    ScratchDir scratch;
    if (scratch.path().empty()) {
        std::fprintf(stderr, "kor_config_check: no scratch folder in %s: %s\n",
                     scratch.parent().c_str(), std::strerror(scratch.error()));
        return kExitUsage;
    }

    Checker checker(dir, scratch.path());
    checker.run();
    if (!checker.scratch_error().empty()) {
        std::fprintf(stderr, "kor_config_check: %s\n", checker.scratch_error().c_str());
        return kExitUsage;
    }
    for (const std::string &line : checker.problems()) {
        std::printf("%s\n", line.c_str());
    }
    for (const std::string &line : checker.notes()) {
        std::printf("note: %s\n", line.c_str());
    }
    const size_t n = checker.problems().size();
    if (n == 0) {
        std::printf("%s/%s: loads and runs cleanly (%s)\n", dir.c_str(), kSettings,
                    checker.loaded().c_str());
        return kExitClean;
    }
    std::printf("%s/%s: %zu problem%s found\n", dir.c_str(), kSettings, n, n == 1 ? "" : "s");
    return kExitProblems;
}
