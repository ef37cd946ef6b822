#pragma once
// The simulation script: a YAML file of timed actions that change the
// network model or pause, resume and finish nodes during a threaded run.
// Loading reads, parses and checks the file and sorts the actions by time;
// every failure is returned as text.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "sim/imperfect_channels.hpp"
#include "sim/node_control.hpp"

namespace vesk {

// A link given by preset name or by its four values. A preset name stays as
// written; resolve() looks it up.
struct ChannelConfigSpec {
    struct Preset {
        std::string name;
        bool operator==(const Preset&) const = default;
    };
    struct Custom {
        ChannelConfig config;
        bool operator==(const Custom&) const = default;
    };
    using Kind = std::variant<Preset, Custom>;

    Kind kind;

    // None for a name outside the presets.
    std::optional<ChannelConfig> resolve() const;

    bool operator==(const ChannelConfigSpec&) const = default;
};

// Which nodes a node_control command addresses.
struct NodeSelector {
    // Every node, 0 to n-1.
    struct All {
        bool operator==(const All&) const = default;
    };
    // May be empty and may repeat ids.
    struct List {
        std::vector<size_t> nodes;
        bool operator==(const List&) const = default;
    };
    using Kind = std::variant<All, List>;

    Kind kind;

    bool operator==(const NodeSelector&) const = default;
};

// A lower priority number is the stronger claim.
struct SetRouteConfigAction {
    size_t node_a = 0;
    size_t node_b = 0;
    uint8_t priority = 0;
    ChannelConfigSpec config;
    bool operator==(const SetRouteConfigAction&) const = default;
};

struct UnsetRouteConfigAction {
    size_t node_a = 0;
    size_t node_b = 0;
    uint8_t priority = 0;
    bool operator==(const UnsetRouteConfigAction&) const = default;
};

struct SetRoutesForNodeAction {
    size_t node = 0;
    uint8_t priority = 0;
    ChannelConfigSpec config;
    bool operator==(const SetRoutesForNodeAction&) const = default;
};

struct UnsetRoutesForNodeAction {
    size_t node = 0;
    uint8_t priority = 0;
    bool operator==(const UnsetRoutesForNodeAction&) const = default;
};

struct DefineNeighborhoodAction {
    std::vector<size_t> nodes;
    uint8_t priority = 0;
    ChannelConfigSpec config;
    bool operator==(const DefineNeighborhoodAction&) const = default;
};

struct UnsetNeighborhoodAction {
    std::vector<size_t> nodes;
    uint8_t priority = 0;
    bool operator==(const UnsetNeighborhoodAction&) const = default;
};

struct NodeControlAction {
    NodeSelector nodes;
    NodeControlMessage action = NodeControlMessage::Pause;
    bool operator==(const NodeControlAction&) const = default;
};

// One command; a command mapping is matched against the kinds in this order.
struct ScriptCommand {
    struct SetDefaultConfig {
        ChannelConfigSpec config;
        bool operator==(const SetDefaultConfig&) const = default;
    };
    using SetRouteConfig = SetRouteConfigAction;
    using UnsetRouteConfig = UnsetRouteConfigAction;
    using SetRoutesForNode = SetRoutesForNodeAction;
    using UnsetRoutesForNode = UnsetRoutesForNodeAction;
    using DefineNeighborhood = DefineNeighborhoodAction;
    using UnsetNeighborhood = UnsetNeighborhoodAction;
    using NodeControl = NodeControlAction;
    using Kind = std::variant<SetDefaultConfig, SetRouteConfig, UnsetRouteConfig, SetRoutesForNode,
                              UnsetRoutesForNode, DefineNeighborhood, UnsetNeighborhood, NodeControl>;

    Kind kind;

    bool operator==(const ScriptCommand&) const = default;
};

// The longest script file that loads. No real script comes near it; it
// bounds what a file without end, such as a device or a pipe, can cost.
inline constexpr size_t MAX_SCRIPT_BYTES = size_t{16} << 20;

struct ScriptAction {
    // Seconds after the start of the run's main loop.
    double at_secs = 0.0;
    std::optional<std::string> description;
    // Never empty in a loaded script; executed in list order.
    std::vector<ScriptCommand> commands;

    bool operator==(const ScriptAction&) const = default;
};

struct SimScript {
    // Sorted by at_secs (total order of doubles), equal times in file order.
    std::vector<ScriptAction> actions;

    bool operator==(const SimScript&) const = default;

    // Reads, parses and checks the file at `path`; the script or the error
    // text.
    static std::variant<SimScript, std::string> load(const std::string& path);

    // None when every node id is below `n`, else the error text for the first
    // one that is not.
    static std::optional<std::string> validate_node_ids(const SimScript& script, size_t n);
};

}  // namespace vesk
