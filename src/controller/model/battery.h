// The battery: its sysfs readings, and what the tick makes of them (the
// state LED 1 shows, the readings worth a log line, the low-power shutdown).
#pragma once

// Battery sysfs readings; a file that cannot be read gives "unknown".
struct BatteryReading {
    int capacity = -1;      // percent, -1 unknown
    double voltage = -1;    // volts, negative unknown
    bool charging = false;  // false when unknown
};

double readBatteryVoltage();
int readBatteryCapacity();
bool isCharging();
BatteryReading readBattery();

class Battery {
public:
    // Charging: charged from kFullPercent, low below kLowPercent; not
    // charging: low at or below kLowPercent.
    static constexpr int kFullPercent = 98;
    static constexpr int kLowPercent = 20;
    // Readings below these are logged.
    static constexpr int kLogPercent = 5;
    static constexpr double kLogVolts = 3.5;
    // Kernel builds from kCapacityRuleKernel on shut down at kEmptyPercent or
    // less.
    static constexpr int kCapacityRuleKernel = 379;
    static constexpr int kEmptyPercent = 2;
    // Older kernels: a voltage below the cut-off of the screen shown is low;
    // each low reading adds kLowStep to the count, a reading that is not low
    // clears it, and the count reaching kShutdownCount (five low readings in
    // a row) shuts down.
    static constexpr double kIdleCutoffVolts = 3.25;
    static constexpr double kBusyCutoffVolts = 3.1;
    static constexpr int kLowStep = 2;
    static constexpr int kShutdownCount = 10;

    // What LED 1 shows.
    enum class Level {
        kUnknown,   // no capacity read: LED 1 left as it is
        kLow,       // low battery
        kCharging,  // charging, not yet charged
        kFine,      // battery fine, or charged
    };
    static Level level(const BatteryReading& b);

    static bool logCapacity(const BatteryReading& b) { return b.capacity >= 0 && b.capacity < kLogPercent; }
    static bool logVoltage(const BatteryReading& b) { return b.voltage >= 0 && b.voltage < kLogVolts; }

    // True when the battery is too low to go on. low_count is the voltage
    // rule's count, kept between readings; an unknown reading is never low
    // and charging never shuts down.
    static bool tooLow(const BatteryReading& b, int kernel, bool idle, int& low_count);
};
