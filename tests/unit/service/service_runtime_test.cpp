#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "service/service.h"
#include "support/capture.h"

namespace {

// True when text is "[YYYY-MM-DD / hh:mm:ss] " followed by note.
bool stamped(const std::string& text, const std::string& note)
{
    const std::string pattern = "[dddd-dd-dd / dd:dd:dd] ";
    if (text.size() != pattern.size() + note.size()) return false;
    for (size_t i = 0; i < pattern.size(); ++i) {
        bool ok = pattern[i] == 'd' ? text[i] >= '0' && text[i] <= '9' : text[i] == pattern[i];
        if (!ok) return false;
    }
    return text.substr(pattern.size()) == note;
}

bool signalled(event_t* e) { return event_wait(e, 0) == event_signalled; }

// One process-wide service object: set up once, driven through its
// controls, taken down at the end.
TEST(ServiceRuntime, SetupControlsAndTeardown)
{
    char program[] = "quillnest";
    char option[] = "-d:+.8080:i";
    char* argv[] = {program, option, nullptr};
    service_setup(2, argv);
    EXPECT_EQ(std::u16string(g_service.name), u"mervand.quillnest.8080");
    EXPECT_TRUE(g_service.name_given);
    EXPECT_FALSE(g_service.service_mode);

    // No service runs this process: the listener may go at once; nothing else is set.
    EXPECT_TRUE(signalled(&g_service.go));
    EXPECT_FALSE(signalled(&g_service.listening));
    EXPECT_FALSE(signalled(&g_service.stop_request));
    EXPECT_FALSE(signalled(&g_service.service_stop));
    EXPECT_FALSE(signalled(&g_service.reload_request));

    std::string paused = capture(1, [] { service_control_handler(control_pause); });
    EXPECT_TRUE(stamped(paused, "{paused}\n")) << paused;
    EXPECT_TRUE(g_service.paused.load());
    std::string resumed = capture(1, [] { service_control_handler(control_continue); });
    EXPECT_TRUE(stamped(resumed, "{resumed}\n")) << resumed;
    EXPECT_FALSE(g_service.paused.load());

    // Parameter change: one reload per control (auto-reset).
    service_control_handler(control_parameter_change);
    EXPECT_TRUE(signalled(&g_service.reload_request));
    EXPECT_FALSE(signalled(&g_service.reload_request));

    std::string trigger = capture(1, [] { service_control_handler(32); });
    EXPECT_TRUE(stamped(trigger, "{TRIGGEREVENT}\n")) << trigger;
    EXPECT_EQ(capture(1, [] { service_control_handler(4); }), "");
    EXPECT_FALSE(signalled(&g_service.stop_request));

    // A stop outside service mode also releases the listener's service stop.
    service_control_handler(control_stop);
    EXPECT_TRUE(g_service.stop_requested.load());
    EXPECT_TRUE(signalled(&g_service.stop_request));
    EXPECT_TRUE(signalled(&g_service.service_stop));

    service_teardown();
    EXPECT_EQ(event_wait(&g_service.go, 0), event_failed);
    EXPECT_EQ(event_wait(&g_service.reload_request, 100), event_failed);
    // Controls after the teardown find the events gone and do nothing.
    service_control_handler(control_parameter_change);
    service_control_handler(control_stop);
}

} // namespace
