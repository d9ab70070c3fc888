// The store library; its modules arrive with generation and verification.
namespace kro::store {}
