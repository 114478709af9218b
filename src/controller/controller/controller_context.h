// The controller's one global context, shared by the event loop, the client
// handler and the screen states.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "controller/ClientHandler.h"
#include "controller/screen_codes.h"
#include "model/Camera.h"
#include "model/sdcard.h"

struct event_base;
class CameraState;

struct Context {
    Context();
    ~Context();
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    // Reopens the screen with the icon table of the stored language; ends the
    // process with status 1 when that fails.
    void initScreen();
    // Draws the network address in text field 0 when it differs from the
    // one shown (ip_); an empty address draws nothing.
    void refreshIp();
    // Puts a new state in place, pushes "stateChanged", then lets the state
    // act on its entry (a job that did not start leads on to its error).
    void changeState(std::shared_ptr<CameraState> next);
    // The current screen's type code (the clients' "mode"), idle (0) when
    // there is no screen.
    int currentType() const;

    bool ap_on_ = false;
    bool usb_device_mode_ = false;
    std::string ip_;
    event_base* base_ = nullptr;
    Camera camera_;
    Sdcard sdcard_;
    ClientHandler client_handler_;
    int led1_mode_ = led_mode::kSteady;
    int led0_mode_ = led_mode::kSteady;
    int led1_color_ = led_color::kAlert;
    int led0_color_ = led_color::kAlert;
    std::shared_ptr<CameraState> state_;
    std::function<void()> second_task_;
    bool second_task_cancel_ = false;
    bool led1_phase_ = false;
    bool led0_phase_ = false;
    int low_power_count_ = 0;

    // Maker of the USB-storage screen used by the tick's USB switch (the
    // switch waits while it is empty).
    std::function<std::shared_ptr<CameraState>(Context&)> make_device_state_;
};

// Event-loop entry points (event_loop.cc).
int controllerMain(int argc, char** argv);
void stopCurrentWork(Context& ctx);
// Frees every client once the loop has ended, the base still there.
void endClients(Context& ctx);
void dispatchButton(Context& ctx, unsigned char byte);
void createMarker();
