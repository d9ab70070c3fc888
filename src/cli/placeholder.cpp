// The command-line library; its modules arrive with the command handlers.
namespace kro::cli {}
