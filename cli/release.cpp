// kestrune-cli release check: what a station would do with a release file.
#include "cli/cli.h"
#include "common/text.h"
#include "release/release_load.h"

#include <cstdio>

namespace kestrune::cli {

void declareReleaseCommand(CLI::App& app, ReleaseOptions& o) {
    app.description("Checks a release file as a station would load it.");
    app.require_subcommand(1, 1);
    CLI::App& check = *app.add_subcommand(
        "check", "Says what a station would do with FILE: each image with its file, size, module "
                 "count, hash verdict and the boxes it is for, the signature, the expiry.");
    check.add_option("FILE", o.file, "the release file (JSON)")->required();
    check
        .add_option("--release-key", o.key,
                    "the minisign public key the release must be signed by (FILE.minisig)")
        ->type_name("KEY");
    app.footer("Exit status: 0 a station would start from it, 5 it would refuse it, 64 wrong "
               "usage.");
}

int runReleaseCommand(const CLI::App&, const ReleaseOptions& o) {
    release::LoadedRelease loaded;
    release::loadRelease(o.file, o.key, release::nowMs(), loaded);
    std::printf("release %s: %s\n", o.file.c_str(),
                loaded.parsed ? loaded.release.name.c_str() : "unreadable");
    std::printf("  SHA-256 %s\n", loaded.facts.sha256.empty() ? "-" : loaded.facts.sha256.c_str());
    std::printf("  signature: %s\n", loaded.signatureProblem.empty()
                                         ? loaded.signature.c_str()
                                         : ("bad: " + loaded.signatureProblem).c_str());
    if (!loaded.trustedComment.empty()) {
        std::printf("  trusted comment: %s\n", loaded.trustedComment.c_str());
    }
    if (loaded.parsed) {
        const release::Release& r = loaded.release;
        std::printf("  expires: %s\n", !r.expires          ? "never"
                                       : loaded.expiredNow ? ("expired at " + r.expiresText).c_str()
                                                           : r.expiresText.c_str());
        for (size_t i = 0; i < r.entries.size(); ++i) {
            const release::EntryCheck& e = loaded.entries[i];
            std::string verdict;
            if (!e.loaded) {
                verdict = "not loaded";
            } else {
                verdict = groupDigits(e.size) + " bytes, " + std::to_string(e.modules) + " module" +
                          (e.modules == 1 ? "" : "s") + ", SHA-256 " +
                          (e.sha256 == r.entries[i].sha256 ? "matches" : "differs");
            }
            std::printf("  %s: %s; for %s\n", release::entryName(r, i).c_str(), verdict.c_str(),
                        release::describeBoxes(r.entries[i]).c_str());
            if (!e.problem.empty()) {
                std::printf("    %s\n", e.problem.c_str());
            }
        }
    }
    const std::string problem = loaded.firstProblem();
    if (problem.empty()) {
        std::printf("a station would start from it\n");
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    std::printf("a station would refuse it: %s\n", problem.c_str());
    std::fflush(stdout);
    return EXIT_IMAGE_NOT_LOADABLE;
}

} // namespace kestrune::cli
