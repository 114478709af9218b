// Serves the camera's own kernel drivers as /dev/oled and /dev/gyrotap
// through umockdev. The modelled board (sim/kernel) boots as the camera
// loads its modules, so the start-up logo is on the panel; every open,
// ioctl, read and close of a client goes to the file operations the modules
// registered, and the drivers' user copies reach the client's memory through
// umockdev's argument resolving. One lock serialises every driver call.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "umockdev_handles.h"
#include "vkernel.h"

namespace vcam {

class BoardServer {
public:
    // Boots the board and adds both devices to the testbed; throws
    // std::runtime_error when it cannot.
    explicit BoardServer(UMockdevTestbed* testbed);
    // Detaches the devices, closes what clients left open, unloads the
    // modules.
    ~BoardServer();
    BoardServer(const BoardServer&) = delete;
    BoardServer& operator=(const BoardServer&) = delete;

    struct Picture {
        bool lit = false;
        std::vector<uint8_t> px;  // 128 x 64, row-major, 1 = lit
    };
    Picture panel();
    // The panel as PNG bytes, each pixel scale x scale.
    std::string png(int scale);
    // 0 or a negative errno.
    int writePng(const std::string& path, int scale);

    void setSample(const vk_sensor_sample& s);
    vk_sensor_sample sample();
    void setPanelAcking(bool on);
    void setSensorAcking(bool on);
    // What the modules logged since the last clear.
    std::string kernelLog(bool clear);
    // Device handles currently open for clients.
    size_t openFiles();
    // Takes the node ("oled", "gyrotap") out of the camera's /dev, as if
    // its module had not loaded, or puts it back; false for another name or
    // when it is already so.
    bool unplug(const std::string& name);
    bool plug(const std::string& name);

    // One served node: its handler and the driver handle of each client.
    struct Node {
        BoardServer* server = nullptr;
        std::string path;
        std::map<UMockdevIoctlClient*, int> files;
        UMockdevIoctlBase* handler = nullptr;
        bool plugged = true;
    };
    // Called from the testbed's thread.
    void connected(Node& node, UMockdevIoctlClient* client);
    void vanished(Node& node, UMockdevIoctlClient* client);
    // One driver call for a client, with its memory reachable by the
    // driver's user copies, then the completion.
    void call(Node& node, UMockdevIoctlClient* client, const std::function<long(int, UMockdevIoctlData*)>& op);
    void ioctl(Node& node, UMockdevIoctlClient* client);
    void read(Node& node, UMockdevIoctlClient* client);
    void write(Node& node, UMockdevIoctlClient* client);

private:
    // The client's driver handle, opened on first use; -errno when the
    // driver refuses.
    int fileOf(Node& node, UMockdevIoctlClient* client);
    void add(const std::string& name);
    // The node's sysfs and /dev entries in the testbed.
    void addEntries(const std::string& name);
    Node* find(const std::string& name);
    // Closes the handles of clients that have gone: umockdev does not
    // always signal a close, but a client knows whether it is connected.
    void sweep();

    std::mutex mu_;
    vk_sensor_sample sample_{};
    UMockdevTestbed* testbed_;
    std::vector<std::unique_ptr<Node>> nodes_;
    std::vector<std::unique_ptr<UMockdevIoctlBase, Unref>> handlers_;
};

}  // namespace vcam
