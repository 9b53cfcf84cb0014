// vpisd-gateway: the PLCs behind SY/MAX serial lines served as Modbus TCP, JSON MQTT, Sparkplug B
// and an HTTP status page. main reads the command line; RunGateway (gateway/gateway.h) does the
// rest.
#include <CLI/CLI.hpp>

#include <cstdio>

#include "gateway/gateway.h"
#include "gateway/log.h"

int main(int argc, char **argv) {
    using namespace vpisd::gateway;
    CLI::App app{"vpisd-gateway: SY/MAX PLCs on serial lines served as Modbus TCP ([gateway], "
                 "[[line]], [[unit]]), on MQTT ([mqtt], [[poll]]), as a Sparkplug B edge node "
                 "([sparkplug], [[poll]]) and with an HTTP status endpoint ([http]), as the "
                 "--config file says"};
    app.footer("Every table and key of the configuration, with its default and range: "
               "man 8 vpisd-gateway (KEYS), and the guide "
               "/usr/share/doc/vpisd-gateway/docs/gateway.md (Keys and defaults).");
    GatewayOptions options;
    bool verbose = false;
    std::string levelName = "info";
    app.add_option("-c,--config", options.configPath, "configuration file (TOML)")->required();
    app.add_flag("--check", options.check,
                 "check the configuration, the init files and the PLC names, then exit "
                 "(0 good, 2 with one line per problem; a missing device is a warning); opens no "
                 "port or socket");
    app.add_option("--lib", options.libraryPath,
                   "path of libvpisd.so (default: next to this program)");
    app.add_option("--log-level", levelName,
                   "the least important messages logged: debug, info (the default), notice, "
                   "warning or error");
    app.add_flag("-v,--verbose", verbose,
                 "debug messages too, the driver's protocol traces included (--log-level debug)");
    app.set_version_flag("--version", std::string("vpisd-gateway ") + VPISD_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        const int code = app.exit(e);
        return code == 0 ? kExitOk : kExitConfig;
    }
    const std::optional<Level> level = LevelNamed(levelName);
    if (!level) {
        std::fprintf(stderr,
                     "--log-level: \"%s\" is not a level (debug, info, notice, warning, error)\n",
                     levelName.c_str());
        return kExitConfig;
    }
    SetLogLevel(verbose ? Level::Debug : *level);
    return RunGateway(options);
}
