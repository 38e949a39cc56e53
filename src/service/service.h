// The service object: the service name, the mode the process runs in, and the
// events that frame the listener (listening, go, stop, reload request).
#pragma once
#include <atomic>
#include <cstdint>

#include "os/event.h"

constexpr uint64_t service_name_capacity = 256; // UTF-16 units, NUL included

struct service_object {
    char16_t name[service_name_capacity]; // default "mervand.quillnest"
    bool name_given;                      // the name came from the command line
    bool service_mode;                    // started as a service, not from a shell
    std::atomic<bool> stop_requested;
    std::atomic<bool> paused;             // connections end before their next receive
    event_t listening;                    // manual: the listener listens
    event_t go;                           // manual: the listener may release the slots
    event_t service_stop;                 // manual: the listener's stop in service mode
    event_t stop_request;                 // manual: a stop control arrived
    event_t reload_request;               // auto-reset: re-read the settings
};

extern service_object g_service;

// Service controls.
enum : uint32_t {
    control_stop = 1,
    control_pause = 2,
    control_continue = 3,
    control_shutdown = 5,
    control_parameter_change = 6,
};

// Sets up the service object from the command line (the "-d:name" option)
// before anything else runs; creates its events.
void service_setup(int argc, char** argv);
// Takes the service name from an argument that begins with "-d:"; returns true
// when a name was supplied on the command line.
bool take_service_name(const char* argument, char16_t* name);
// Turns a control into the server's events (stop, pause, continue, reload).
void service_control_handler(uint32_t control);
// Runs the service commands of the command line. 0: start the server;
// -1: commands were handled and the process ends with exit code 0.
int parse_service_commands(int argc, char** argv);
// Closes the service object's events at exit.
void service_teardown();
