// Keeps the sample library non-empty before any sample source exists.
namespace quorvin_samples_anchor { int anchor = 0; }
