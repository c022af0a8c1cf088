#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "SimulatedPlatform/Frameworks/CoreSimulator/DigitizerService.hpp"
#include "SimulatedPlatform/Frameworks/SimulatorKit/Indigo.hpp"

using namespace tavrel;

namespace {

std::vector<uint8_t> take(void* message) {
    EXPECT_NE(message, nullptr);
    if (message == nullptr) return {};
    uint32_t size;
    std::memcpy(&size, message, 4);
    std::vector<uint8_t> bytes(static_cast<uint8_t*>(message),
                               static_cast<uint8_t*>(message) + size);
    std::free(message);
    return bytes;
}

}  // namespace

TEST(IndigoMessages, BuildersWriteTheDocumentedBytes) {
    double point[2] = {0.5, 0.25};
    EXPECT_EQ(take(IndigoHIDMessageForMouseNSEvent(point, nullptr, 0x32, 1, 0, 1.0, 1.0)),
              (std::vector<uint8_t>{
                  40,   0,   0,   0,                      // size
                  'I',  'N', 'G', 'O',                    // magic
                  1,    0,   0,   0,                      // pointer
                  0x32, 0,   0,   0,                      // target: main display
                  1,    0,   0,   0,                      // left mouse down
                  0,    0,   0,   0,                      // flags
                  0,    0,   0,   0,   0, 0, 0xE0, 0x3F,  // x 0.5
                  0,    0,   0,   0,   0, 0, 0xD0, 0x3F,  // y 0.25
              }));
    EXPECT_EQ(take(IndigoHIDMessageForHIDArbitrary(0x32, 0x0C, 0x40, 2)),
              (std::vector<uint8_t>{28,   0, 0,    0, 'I', 'N', 'G',  'O', 2, 0,
                                    0,    0, 0x32, 0, 0,   0,   0x0C, 0,   0, 0,  // consumer page
                                    0x40, 0, 0,    0,                             // home
                                    2,    0, 0,    0}));                          // up
    EXPECT_EQ(take(IndigoHIDMessageForKeyboardArbitrary(4, 1)),
              (std::vector<uint8_t>{24, 0, 0, 0, 'I', 'N', 'G', 'O', 3, 0, 0, 0, 0, 0, 0, 0,  //
                                    4,  0, 0, 0, 1,   0,   0,   0}));
}

TEST(IndigoMessages, DecodeWhatTheBuildersMakeAndRefuseTheRest) {
    double point[2] = {300, 100};
    void* mouse = IndigoHIDMessageForMouseNSEvent(point, nullptr, 0x32, 2, 0, 600, 400);
    auto up = simkit::decodeIndigo(mouse);
    std::free(mouse);
    ASSERT_TRUE(up);
    EXPECT_EQ(up->kind, simkit::IndigoEvent::Kind::pointer);
    EXPECT_FALSE(up->down);
    EXPECT_DOUBLE_EQ(up->x, 0.5);
    EXPECT_DOUBLE_EQ(up->y, 0.25);

    void* key = IndigoHIDMessageForKeyboardArbitrary(42, 1);
    auto backspace = simkit::decodeIndigo(key);
    std::free(key);
    ASSERT_TRUE(backspace);
    EXPECT_EQ(backspace->usage, 42u);
    EXPECT_TRUE(backspace->down);

    double bad[2] = {0.5, NAN};
    EXPECT_EQ(IndigoHIDMessageForMouseNSEvent(nullptr, nullptr, 0x32, 1, 0, 1, 1), nullptr);
    EXPECT_EQ(IndigoHIDMessageForMouseNSEvent(point, point, 0x32, 1, 0, 1, 1), nullptr);
    EXPECT_EQ(IndigoHIDMessageForMouseNSEvent(point, nullptr, 0x32, 3, 0, 1, 1), nullptr);
    EXPECT_EQ(IndigoHIDMessageForMouseNSEvent(point, nullptr, 0x32, 1, 0, 0, 1), nullptr);
    EXPECT_EQ(IndigoHIDMessageForMouseNSEvent(bad, nullptr, 0x32, 1, 0, 1, 1), nullptr);
    EXPECT_EQ(IndigoHIDMessageForHIDArbitrary(0x32, 0x0C, 0x40, 0), nullptr);
    EXPECT_EQ(IndigoHIDMessageForKeyboardArbitrary(4, 3), nullptr);

    EXPECT_FALSE(simkit::decodeIndigo(nullptr));
    auto valid = take(IndigoHIDMessageForHIDArbitrary(0x32, 0x0C, 0x30, 1));
    struct Corruption {
        size_t at;
        uint8_t value;
    };
    for (auto c : {Corruption{0, 27}, Corruption{0, 200}, Corruption{4, 'X'}, Corruption{8, 1},
                   Corruption{8, 9}, Corruption{24, 7}}) {
        auto bytes = valid;
        bytes.resize(64, 0);
        bytes[c.at] = c.value;
        EXPECT_FALSE(simkit::decodeIndigo(bytes.data())) << c.at;
    }
}

TEST(DigitizerService, TurnsMessagesIntoDeviceEvents) {
    auto message = [](const char* type, auto fill) {
        XPCRef m(xpc_dictionary_create(nullptr, nullptr, 0));
        xpc_dictionary_set_string(m.get(), "messageType", type);
        xpc_dictionary_set_bool(m.get(), "isBarrier", false);
        xpc_dictionary_set_string(m.get(), "featureIdentifier", coresim::digitizerServiceName);
        XPCRef payload(xpc_dictionary_create(nullptr, nullptr, 0));
        fill(payload.get());
        xpc_dictionary_set_value(m.get(), "payload", payload.get());
        return m;
    };
    auto touch = [](double x, double y, uint64_t phase) {
        return [=](xpc_object_t p) {
            XPCRef point(xpc_dictionary_create(nullptr, nullptr, 0));
            xpc_dictionary_set_double(point.get(), "x", x);
            xpc_dictionary_set_double(point.get(), "y", y);
            xpc_dictionary_set_value(p, "pointOne", point.get());
            xpc_dictionary_set_uint64(p, "eventType", phase);
            xpc_dictionary_set_uint64(p, "edge", 0);
            xpc_dictionary_set_uint64(p, "target", 0);
        };
    };
    auto button = [](uint64_t page, uint64_t usage, uint64_t state) {
        return [=](xpc_object_t p) {
            xpc_dictionary_set_uint64(p, "usagePage", page);
            xpc_dictionary_set_uint64(p, "usageCode", usage);
            xpc_dictionary_set_uint64(p, "state", state);
        };
    };
    auto key = [](uint64_t usage, uint64_t state) {
        return [=](xpc_object_t p) {
            xpc_dictionary_set_uint64(p, "usageCode", usage);
            xpc_dictionary_set_uint64(p, "state", state);
        };
    };

    auto start = coresim::digitizerEvent(message("IndigoDigitizerEvent", touch(0.5, 0.25, 0)).get(),
                                         393, 852);
    ASSERT_TRUE(start);
    EXPECT_EQ(start->kind, sim::InputEvent::Kind::touch);
    EXPECT_EQ(start->phase, sim::TouchPhase::start);
    EXPECT_DOUBLE_EQ(start->x, 196.5);
    EXPECT_DOUBLE_EQ(start->y, 213);
    auto end =
        coresim::digitizerEvent(message("IndigoDigitizerEvent", touch(0, 1, 2)).get(), 393, 852);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->phase, sim::TouchPhase::end);

    auto home =
        coresim::digitizerEvent(message("IndigoButtonEvent", button(12, 64, 1)).get(), 1, 1);
    ASSERT_TRUE(home);
    EXPECT_EQ(home->kind, sim::InputEvent::Kind::button);
    EXPECT_EQ(home->usagePage, 12u);
    EXPECT_EQ(home->usage, 64u);
    EXPECT_TRUE(home->down);
    auto released =
        coresim::digitizerEvent(message("IndigoKeyboardButtonEvent", key(4, 2)).get(), 1, 1);
    ASSERT_TRUE(released);
    EXPECT_EQ(released->kind, sim::InputEvent::Kind::key);
    EXPECT_EQ(released->usage, 4u);
    EXPECT_FALSE(released->down);

    // What the device must not act on.
    std::vector<XPCRef> refused;
    refused.push_back(message("IndigoDigitizerEvent", touch(0.5, 0.5, 3)));
    refused.push_back(message("IndigoDigitizerEvent", touch(NAN, 0.5, 0)));
    refused.push_back(message("IndigoDigitizerEvent", [](xpc_object_t p) {
        xpc_dictionary_set_uint64(p, "eventType", 0);  // no point
    }));
    refused.push_back(message("IndigoButtonEvent", button(12, 64, 0)));
    refused.push_back(message("IndigoButtonEvent", button(uint64_t{1} << 40, 64, 1)));
    refused.push_back(message("IndigoKeyboardButtonEvent", key(4, 3)));
    refused.push_back(message("IndigoScrollEvent", key(4, 1)));
    auto foreign = message("IndigoKeyboardButtonEvent", key(4, 1));
    xpc_dictionary_set_string(foreign.get(), "featureIdentifier", "com.example.other");
    refused.push_back(foreign);
    for (size_t i = 0; i < refused.size(); ++i)
        EXPECT_FALSE(coresim::digitizerEvent(refused[i].get(), 100, 100)) << i;
}

TEST(DigitizerService, ReadsBothFingersOfOneReport) {
    // {x, y, phase} of each finger; a phase of -1 leaves that finger out.
    auto report = [](std::array<double, 3> one, std::array<double, 3> two) {
        XPCRef m(xpc_dictionary_create(nullptr, nullptr, 0));
        xpc_dictionary_set_string(m.get(), "messageType", "IndigoDigitizerEvent");
        xpc_dictionary_set_string(m.get(), "featureIdentifier", coresim::digitizerServiceName);
        XPCRef payload(xpc_dictionary_create(nullptr, nullptr, 0));
        auto finger = [&](std::array<double, 3> f, const char* pointKey, const char* phaseKey) {
            if (f[2] < 0) return;
            XPCRef point(xpc_dictionary_create(nullptr, nullptr, 0));
            xpc_dictionary_set_double(point.get(), "x", f[0]);
            xpc_dictionary_set_double(point.get(), "y", f[1]);
            xpc_dictionary_set_value(payload.get(), pointKey, point.get());
            xpc_dictionary_set_uint64(payload.get(), phaseKey, static_cast<uint64_t>(f[2]));
        };
        finger(one, "pointOne", "eventType");
        finger(two, "pointTwo", "eventTypeTwo");
        xpc_dictionary_set_value(m.get(), "payload", payload.get());
        return coresim::digitizerEvent(m.get(), 400, 800);
    };
    using sim::TouchPhase;
    auto both = report({0.25, 0.5, 1}, {0.75, 0.25, 0});
    ASSERT_TRUE(both);
    EXPECT_EQ(both->kind, sim::InputEvent::Kind::touches);
    ASSERT_TRUE(both->one && both->two);
    EXPECT_EQ(both->one->phase, TouchPhase::move);
    EXPECT_DOUBLE_EQ(both->one->x, 100);
    EXPECT_DOUBLE_EQ(both->one->y, 400);
    EXPECT_EQ(both->two->phase, TouchPhase::start);
    EXPECT_DOUBLE_EQ(both->two->x, 300);
    EXPECT_DOUBLE_EQ(both->two->y, 200);

    auto secondAlone = report({0, 0, -1}, {0.5, 0.5, 2});
    ASSERT_TRUE(secondAlone);
    EXPECT_EQ(secondAlone->kind, sim::InputEvent::Kind::touches);
    EXPECT_FALSE(secondAlone->one);
    ASSERT_TRUE(secondAlone->two);
    EXPECT_EQ(secondAlone->two->phase, TouchPhase::end);

    // Without "pointTwo" it is the one-finger report it always was.
    auto first = report({0.5, 0.5, 2}, {0, 0, -1});
    ASSERT_TRUE(first);
    EXPECT_EQ(first->kind, sim::InputEvent::Kind::touch);
    EXPECT_EQ(first->phase, TouchPhase::end);

    // A malformed finger spoils the whole report.
    EXPECT_FALSE(report({0.5, 0.5, 1}, {NAN, 0.5, 1}));
    EXPECT_FALSE(report({0.5, 0.5, 1}, {0.5, 0.5, 3}));
    EXPECT_FALSE(report({0.5, 0.5, 7}, {0.5, 0.5, 1}));
}
