// `kro verify`: header lines, the verification run under the progress display, the findings on
// standard error, the analyses on standard output and a one-line verdict. Exit status 0 when the
// store verified clean, 1 when anything was found or the run failed.

#include <unistd.h>

#include <filesystem>
#include <new>
#include <string>
#include <variant>

#include "base/errors/error.hpp"
#include "base/errors/io_error.hpp"
#include "cli/command_error.hpp"
#include "cli/commands.hpp"
#include "cli/output/color.hpp"
#include "cli/output/number_format.hpp"
#include "cli/output/progress_display.hpp"
#include "cli/output/render.hpp"
#include "cli/output/stream_writer.hpp"
#include "verify/verify_options.hpp"
#include "verify/verify_store.hpp"

namespace kro::cli {
namespace {

void print_header(const std::filesystem::path& directory, uint64_t chunk_size, bool out_color) {
    StreamWriter out = StreamWriter::standard_output();
    out.write("Verifying file contents in: ");
    out.write(paint_bold_path(out_color, directory));
    out.write("\n");
    out.write(
        paint_string(out_color, sgr::DIM, "Analysis chunk size: " + format_thousands(chunk_size) + " bytes"));
    out.write("\n");
    // Shown before the run starts, however long it takes.
    out.flush();
}

void print_error(const base::Error& error, bool err_color) {
    StreamWriter err = StreamWriter::standard_error();
    err.write(paint_str(err_color, sgr::BOLD_RED, "ERROR:"));
    err.write(" ");
    err.write(base::error_chain(error));
    err.write("\n");
    err.flush();
}

void print_verdict(bool success, bool out_color) {
    StreamWriter out = StreamWriter::standard_output();
    if (success) {
        out.write(paint_str(out_color, sgr::GREEN, "✓"));
        out.write(" All files successfully verified.\n");
    } else {
        out.write(paint_str(out_color, sgr::RED, "✗"));
        out.write(" Verification failed.\n");
    }
    out.flush();
}

}  // namespace

uint8_t run_verify(VerifyArgs args) {
    const bool out_color = color_for_stream(STDOUT_FILENO);
    const bool err_color = color_for_stream(STDERR_FILENO);
    const ProgressDisplay display = ProgressDisplay::create("Verify", ProgressMode::Verify);

    const std::expected<std::filesystem::path, CommandError> directory = store_directory(args.directory);
    if (!directory) {
        display.clear();
        print_error(directory.error(), err_color);
        print_verdict(false, out_color);
        return 1;
    }
    print_header(*directory, args.chunk_size, out_color);

    verify::VerifyOptions options{
        .root = *directory,
        .chunk_size = args.chunk_size,
        .jobs = args.jobs,
        // A second reference to the display, which passes every snapshot on.
        .progress = display.enabled() ? display.observer() : nullptr,
    };

    std::expected<verify::VerifyReport, verify::VerifyError> result = verify::verify_store(options);
    // The observer's reference to the display goes with the options.
    options.progress.reset();
    if (!result) {
        display.clear();
        print_error(result.error(), err_color);
        print_verdict(false, out_color);
        return 1;
    }

    const std::vector<verify::Issue>& issues = result->issues;
    display.finish(issues.empty());
    try {
        print_issues(issues, err_color);
        print_error_analyses(issues, out_color);
    } catch (const std::bad_alloc&) {
        print_error(CommandError::with_cause("printing the report", base::IoError::out_of_memory()),
                    err_color);
        print_verdict(false, out_color);
        return 1;
    }
    print_verdict(issues.empty(), out_color);
    return issues.empty() ? 0 : 1;
}

}  // namespace kro::cli
