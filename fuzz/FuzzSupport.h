// What the fuzz targets share: a private working directory, a driver instance without a
// host, and a scripted station behind the transport seam.
//
// The scripted station answers each telegram the driver sends with the next reply of its
// script. A script is the fuzz input cut at every CR: a reply never holds a CR, the CR
// ends it on the wire. Framed replies get their checksum character and the CR added, so
// that the fuzzer reaches the decoders behind the frame check; raw ones go out as given.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "config/Instance.h"

namespace fuzz {

// Moves the process into a fresh private directory (removed at exit), after making the
// corpus and artifact paths of the command line absolute. Call from LLVMFuzzerInitialize.
void EnterPrivateDirectory(int *argc, char ***argv, const char *name);

// A cleared instance as ColdStart leaves it (no file, no port, no client), with its bus
// mutex, long reply deadlines and the driver's waits shortened.
DriverInstance *NewInstance();
StationRecord *AddStation(DriverInstance *instance, uint32_t number, const char *name, const char *accessCode,
                          bool secondary = false);

// The replies of a script. `framed`: checksum and CR are added to each piece.
std::vector<std::string> Replies(const uint8_t *data, size_t size, bool framed);

// The scripted station on the instance's transport: every send takes the next reply
// (a purge drops what was not read); every byte after the reply is a time-out.
void UseScriptedStation(DriverInstance *instance, std::vector<std::string> replies);
// The telegrams the driver sent since UseScriptedStation, each as sent.
const std::vector<std::string> &Sent();

// Reads bytes off the front of a fuzz input.
class Reader {
public:
    Reader(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t Word() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
    const uint8_t *Rest() const { return data_ + at_; }
    size_t Left() const { return size_ - at_; }

private:
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
};

// Gates of the host runtime for a test station, added once per run.
uint32_t AddGate(const char *address, uint16_t type);

} // namespace fuzz
