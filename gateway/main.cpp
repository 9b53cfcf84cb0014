// vpisd-gateway: the PLCs behind SY/MAX serial lines served as Modbus TCP and MQTT. main reads
// the command line; the process owner (gateway/gateway.h) does the rest.
#include <CLI/CLI.hpp>

#include "gateway/gateway.h"
#include "gateway/log.h"

int main(int argc, char **argv) {
    using namespace vpisd::gateway;
    CLI::App app{"vpisd-gateway: SY/MAX PLCs on serial lines served as Modbus TCP ([gateway], "
                 "[[line]], [[unit]]) and on MQTT ([mqtt], [[poll]]); the tables of the --config "
                 "file are in man 8 vpisd-gateway"};
    GatewayOptions options;
    bool verbose = false;
    app.add_option("-c,--config", options.configPath, "configuration file (TOML)")->required();
    app.add_flag("--check", options.check,
                 "check the configuration, the init files and the unit map, then exit "
                 "(0 good, 2 with one line per problem); opens no port or socket");
    app.add_option("--lib", options.libraryPath,
                   "path of libvpisd.so (default: next to this program)");
    app.add_flag("-v,--verbose", verbose,
                 "debug messages too, the driver's protocol traces included");
    app.set_version_flag("--version", std::string("vpisd-gateway ") + VPISD_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        const int code = app.exit(e);
        return code == 0 ? kExitOk : kExitConfig;
    }
    SetLogLevel(verbose ? Level::Debug : Level::Info);
    return RunGateway(options);
}
