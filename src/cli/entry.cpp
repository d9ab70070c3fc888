#include "cli/entry.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <variant>

#include "base/errors/error.hpp"
#include "cli/args/command_line.hpp"
#include "cli/commands.hpp"
#include "cli/output/stream_writer.hpp"

namespace kro::cli {
namespace {

uint8_t dispatch(CliCommand command) {
    if (auto* gen = std::get_if<GenArgs>(&command)) return run_gen(std::move(*gen));
    if (auto* verify = std::get_if<VerifyArgs>(&command)) return run_verify(std::move(*verify));
    DevCommand& dev = std::get<Dev>(command).command;
    if (auto* corrupt = std::get_if<CorruptFileArgs>(&dev)) return run_corrupt_file(std::move(*corrupt));
    auto shown = run_show(std::get<ShowArgs>(std::move(dev)));
    if (shown) return *shown;
    StreamWriter err = StreamWriter::standard_error();
    err.write(fmt::format("Error: {}\n", base::error_chain(shown.error())));
    err.flush();
    return 1;
}

// Without a command and without --version: the help of kro. A failed write of it is of no
// consequence; the status says it all.
uint8_t no_command() {
    write_best_effort(STDOUT_FILENO, command_help({}, HelpMode::Short));
    return 2;
}

}  // namespace

uint8_t run_kro(std::span<const std::string> args) {
    auto cli = parse_command_line(args);
    if (!cli) return cli.error();
    if (cli->version) {
        StreamWriter out = StreamWriter::standard_output();
        out.write(fmt::format("kro, version {}\n", KRO_VERSION));
        out.flush();
        return 0;
    }
    if (!cli->command) return no_command();
    return dispatch(std::move(*cli->command));
}

}  // namespace kro::cli
