// `quorvale --verify LISTING [--root DIR]`: every file the listing hashed read again, from where
// its drive is mounted now (or below DIR), and what no longer holds what it held printed in the
// shape of --compare: "!" a file whose content differs while its size and time are as listed
// (damaged), "~" with s and m for one changed as files are (its size, its time), "~t" for one that
// is no longer a regular file, "-" for one gone; a tab and its path as listed follow. Files the
// listing does not hold are not its business.
#pragma once

#include <string>

namespace quorvale::app {

inline constexpr int kVerifiedIntact = 0;
inline constexpr int kVerifyFoundChanges = 1;
inline constexpr int kVerifyFailed = 2;  // something could not be verified: said on stderr

struct VerifyRequest {
    std::string listing;  // the list folder
    std::string root;     // read the files below this folder (empty: where the drive is now)
};

// Verifies; findings on stdout in listing order, progress (on a terminal) and failures on stderr.
// SIGINT, SIGTERM and SIGHUP stop it within a read (128 + the signal); a reader of stdout gone
// ends it with 141.
int RunVerify(const VerifyRequest& request);

}  // namespace quorvale::app
