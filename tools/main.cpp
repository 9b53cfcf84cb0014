// vpisd-cli: a command-line host for libvpisd.so. It loads the driver, drives one VPI through
// VpiMain as a SCADA host would, and prints what the PLCs answer.
#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <map>
#include <unistd.h>

#include "commands.h"
#include "exit_codes.h"
#include "host/work_dir.h"
#include "stop_flag.h"

namespace {

using namespace vpisd::cli;

constexpr const char *kFooter = R"(GAS (tag address) forms, letter case free:
  P10100      register 100 of the PLC named P1 in the init file
  P10101F     32-bit value in the register pair 101-102 (the first register must be odd)
  P1010003    bit 3 of register 100, bits counted 01 (least significant) to 16
  P1!ROUTE    route selection of P1: 0 normal route, 1 backup route
  001234      register 1234 peer to peer (no init file: the PLC on the cable)

Examples:
  vpisd-cli describe
  vpisd-cli --port ttyS0 read 001234
  vpisd-cli --port /dev/pts/3 --init plant.int read P10100 --count 8
  vpisd-cli --port ttyS0 --init plant.int write P10101F 123456
  vpisd-cli --port ttyS0 --init plant.int write P1010003 1
  vpisd-cli --port ttyS0 --init plant.int --trace -v read P10100
  vpisd-cli --port ttyS0 --init plant.int --format csv poll P10100 P10101F:2 -l 500 --rounds 10
  vpisd-cli --port ttyS0 --init plant.int --type float32 read P10101F
  vpisd-cli --port ttyS0 --init plant.int --type int16 read P10100:4
  vpisd-cli check-init plant.int

Exit codes: 0 ok, 1 reply refused or GAS rejected (check-init: the file has problems),
2 no answer (communication failure), 3 port cannot be opened, 4 usage error or missing
init file, 5 libvpisd.so cannot be loaded.)";

// Option help shows the type names given here, not the parser's own notation.
CLI::Validator Quiet(CLI::Validator validator) {
    return validator.description("");
}

void OnSignal(int) {
    // The first Ctrl-C lets the driver call in progress finish; a second one leaves at once,
    // unless it comes within half a second of the first (the same request sent twice).
    if (StopJustRequested())
        return;
    if (StopRequested()) {
        EmergencyRemoveWorkDirs();
        _exit(130);
    }
    RequestStop();
}

void InstallSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

} // namespace

int main(int argc, char **argv) {
    CLI::App app{"vpisd-cli: read and write SY/MAX PLC registers through the vpisd driver"};
    app.footer(kFooter);
    app.get_formatter()->label("REQUIRED", "");
    app.require_subcommand(0, 1);
    app.fallthrough();

    CommonOptions options;
    std::string parity;
    std::string stopBits;
    bool showVersion = false;
    app.add_flag("--version", showVersion, "show the versions of the tool and the driver");
    app.add_option("--lib", options.library, "path of libvpisd.so (default: next to this tool)")
        ->type_name("PATH");
    app.add_option("-p,--port", options.line.port,
                   "serial device: a name under /dev (ttyS0), a path (/dev/pts/3), or "
                   "tcp:HOST:PORT for a line behind a terminal server")
        ->type_name("DEV");
    app.add_option("-b,--baud", options.baudRate, "baud rate (driver default 9600)")
        ->check(Quiet(CLI::Range(1u, 4000000u)))
        ->type_name("N");
    app.add_option("--data", options.dataBits, "data bits, 5 to 8 (default 8)")
        ->check(Quiet(CLI::Range(5, 8)))
        ->type_name("N");
    app.add_option("--parity", parity, "none, odd, even, mark or space (default even)")
        ->check(Quiet(CLI::IsMember({"none", "odd", "even", "mark", "space"}, CLI::ignore_case)))
        ->type_name("P");
    app.add_option("--stop", stopBits, "stop bits: 1, 1.5 or 2 (default 1)")
        ->check(Quiet(CLI::IsMember({"1", "1.5", "2"})))
        ->type_name("S");
    app.add_option("-t,--timeout", options.line.timeoutMs,
                   "read timeout in ms, in 10 ms steps (default 1000)")
        ->check(Quiet(CLI::Range(10, 600000)))
        ->type_name("MS");
    app.add_option("--vpi", options.line.vpiNumber, "VPI number; names the init file vpiSDnn.int")
        ->check(Quiet(CLI::Range(0, 9999)))
        ->type_name("N");
    app.add_option("-i,--init", options.init,
                   "init file with the routes, or a directory holding vpiSDnn.int or vpiSD.int")
        ->type_name("PATH");
    app.add_flag("--trace", options.trace,
                 "print every byte on the wire (>> to the PLC, << from it)");
    app.add_flag("-v,--verbose", options.verbosity,
                 "driver messages: -v events, -vv protocol traces as well");
    const std::map<std::string, Format> formats{
        {"text", Format::Text}, {"csv", Format::Csv}, {"json", Format::Json}};
    app.add_option("-f,--format", options.format, "output: text, csv or json (one object a line)")
        ->transform(Quiet(CLI::CheckedTransformer(formats, CLI::ignore_case)))
        ->type_name("F");
    const std::map<std::string, WordOrder> orders{{"high-first", WordOrder::HighFirst},
                                                  {"low-first", WordOrder::LowFirst}};
    app.add_option("--word-order", options.wordOrder,
                   "32-bit values: high-first (default: the odd register holds the high word) "
                   "or low-first")
        ->transform(Quiet(CLI::CheckedTransformer(orders, CLI::ignore_case)))
        ->type_name("O");
    // "int" and "float" as before the type names; each name applies to the tags of its width.
    const std::map<std::string, int> types{{"int", -1},
                                           {"float", static_cast<int>(ValueType::Float32)},
                                           {"uint16", static_cast<int>(ValueType::Uint16)},
                                           {"int16", static_cast<int>(ValueType::Int16)},
                                           {"uint32", static_cast<int>(ValueType::Uint32)},
                                           {"int32", static_cast<int>(ValueType::Int32)},
                                           {"float32", static_cast<int>(ValueType::Float32)}};
    int typeCode = -1;
    app.add_option("--type", typeCode,
                   "value type: uint16 or int16 for registers; uint32, int32 or float32 (IEEE 754) "
                   "for pairs (GAS ending in F); int (default) and float as before")
        ->transform(Quiet(CLI::CheckedTransformer(types, CLI::ignore_case)))
        ->type_name("T");
    app.add_flag("--signed", options.asSigned, "show 16- and 32-bit values as signed numbers");
    app.add_flag("--hex", options.hexColumn, "csv and json: each value in hex as well");

    app.add_subcommand("describe", "show the driver's name, banner, defaults and instance size");

    std::string initFile;
    CLI::App *checkInit = app.add_subcommand(
        "check-init", "read an init file as the driver does and explain every problem");
    checkInit->add_option("FILE", initFile, "the init file")->required()->type_name("");

    std::vector<std::string> readTags;
    int32_t readCount = 1;
    CLI::App *read = app.add_subcommand("read", "read tags once; GAS:N reads N values from GAS");
    read->add_option("GAS", readTags, "one or more tag addresses")->required()->type_name("");
    read->add_option("-n,--count", readCount, "values per tag: registers, or 32-bit values for F")
        ->check(Quiet(CLI::Range(1, 128)))
        ->type_name("N");

    std::string writeTag;
    std::vector<std::string> writeValues;
    CLI::App *write =
        app.add_subcommand("write", "write values: several for consecutive registers or pairs");
    write->add_option("GAS", writeTag, "tag address")->required()->type_name("");
    write->add_option("VALUE", writeValues, "decimal or 0x hex; 0/1 for a bit")
        ->required()
        ->type_name("");

    std::vector<std::string> pollTags;
    int32_t pollCount = 1;
    PollOptions pollOptions;
    bool oneRound = false;
    CLI::App *poll = app.add_subcommand("poll", "read tags repeatedly and sum up at the end");
    poll->add_option("GAS", pollTags, "one or more tag addresses, GAS:N for N values")
        ->required()
        ->type_name("");
    poll->add_option("-n,--count", pollCount, "values per tag: registers, or 32-bit values for F")
        ->check(Quiet(CLI::Range(1, 128)))
        ->type_name("N");
    poll->add_option("-l,--interval", pollOptions.intervalMs,
                     "milliseconds from round to round (default 1000)")
        ->check(Quiet(CLI::Range(0, 3600000)))
        ->type_name("MS");
    poll->add_option("--rounds", pollOptions.rounds, "rounds to run (default: until Ctrl-C)")
        ->check(Quiet(CLI::NonNegativeNumber))
        ->type_name("N");
    poll->add_flag("-1", oneRound, "one round only");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        const int code = app.exit(e);
        return code == 0 ? kExitOk : kExitUsage;
    }
    if (!parity.empty()) {
        const std::map<std::string, uint16_t> codes{
            {"none", 0}, {"odd", 1}, {"even", 2}, {"mark", 3}, {"space", 4}};
        std::string lower = parity;
        for (char &c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        options.parity = codes.at(lower);
    }
    if (typeCode >= 0)
        options.type = static_cast<ValueType>(typeCode);
    if (!stopBits.empty()) {
        options.stopBits = static_cast<uint16_t>(stopBits == "1" ? 0 : stopBits == "1.5" ? 1 : 2);
    }
    InstallSignalHandlers();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    if (showVersion)
        return RunVersion(options);
    if (app.get_subcommands().empty()) {
        std::fprintf(stderr, "vpisd-cli: give a command (describe, check-init, read, write, "
                             "poll); --help lists them\n");
        return kExitUsage;
    }
    const std::string command = app.get_subcommands().front()->get_name();
    if (command == "describe")
        return RunDescribe(options);
    if (command == "check-init")
        return RunCheckInit(initFile);
    if (command == "write")
        return RunWrite(options, writeTag, writeValues);
    std::vector<TagRequest> tags;
    for (const auto &text : command == "read" ? readTags : pollTags) {
        const auto tag = ParseTagRequest(text, command == "read" ? readCount : pollCount);
        if (!tag) {
            std::fprintf(stderr, "vpisd-cli: %s: the count after ':' must be a number from 1\n",
                         text.c_str());
            return kExitUsage;
        }
        tags.push_back(*tag);
    }
    if (oneRound)
        pollOptions.rounds = 1;
    return command == "read" ? RunRead(options, tags) : RunPoll(options, tags, pollOptions);
}
