// The catalogue: where a Save without a list folder keeps its listing. One place per drive and
// root, named by what identifies the drive (its UUID, else its file system's id) and the root's
// path on it, so that two sticks of one label never replace each other and a drive mounted
// elsewhere next time is the same drive; in each place the listings ("generations") of the last
// two Saves, and `latest` (a link) naming the newer one:
//
//   catalogue/PHOTOS.4f1c0a9e6b2d7e13/2026-12-09T081502Z/ListTex1.txt ...
//   catalogue/PHOTOS.4f1c0a9e6b2d7e13/latest -> 2026-12-09T081502Z
//   catalogue/.notes/<drive>             the note a person keeps of a drive ("shelf 3")
//
// A search looks two levels below the catalogue and never follows a link: each generation is
// found once, by its own path.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "catalogue/listing_record.h"
#include "runtime/file_system_facts.h"
#include "runtime/folder_lock.h"

namespace quorvale::catalogue {

// The catalogue's folder: catalogue in the program's data folder (~/.local/share/quorvale);
// empty without a home.
std::string CatalogueFolder();

// What names a drive and a root in the catalogue.
struct DrivePlace {
    std::string drive;         // "uuid:…", else "fsid:…", else "device:HOST:MAJOR:MINOR:SOURCE"
    std::string driveName;     // as a person knows the drive: its label, else model, else source
    std::string relativeRoot;  // the root's path from the drive's mount point ("/" for all of it)
    std::string folderName;    // the place's folder: readable part, ".", 16 hex digits
};

// The place of a listing of `root` (an absolute path) on the file system `facts` describes.
DrivePlace PlaceOf(const runtime::FileSystemFacts& facts, const std::string& root,
                   const std::string& host);

// A drive as its records know it: what `DrivePlace::drive` holds, and how a person names it.
std::string DriveOf(const ListingRecord& record);
std::string DriveNameOf(const ListingRecord& record);

// One Save into the catalogue, holding its place's lock for its length: a new generation folder
// to write, the place's latest listing (what `--reuse` takes), and at the end either Keep (the
// new generation becomes the latest; generations older than the one before are removed) or, when
// the Save failed, nothing left of it. Throws runtime::RuntimeError when the place cannot be made
// or is locked by another Save.
class CatalogueSave {
  public:
    CatalogueSave(const std::string& catalogue, const DrivePlace& place);
    ~CatalogueSave();
    CatalogueSave(const CatalogueSave&) = delete;
    CatalogueSave& operator=(const CatalogueSave&) = delete;

    const std::string& ListFolder() const { return listFolder_; }
    // The place's latest listing before this Save; none the first time.
    const std::optional<std::string>& Latest() const { return latest_; }
    // Makes the new generation the latest, and removes the generations but the one before.
    void Keep();

  private:
    runtime::FolderLock place_;
    std::string generation_;
    std::string listFolder_;
    std::optional<std::string> latest_;
    bool kept_ = false;
};

// The latest listing of each place in `catalogue` (list folders), in the order of the places'
// names.
std::vector<std::string> LatestListings(const std::string& catalogue);

// The places of `catalogue` that `name` names: a place's folder name, its readable part, or the
// drive's name in its latest listing's record ("PHOTOS", "USB DISK"). Their latest listings.
std::vector<std::string> ListingsNamed(const std::string& catalogue, const std::string& name);

// Removes the kept listing in `folder` whole: under its lock, its record first (from then on it
// is no listing), then its files; a catalogue generation's folder goes with them, and its place
// when it held no other listing. Throws runtime::RuntimeError.
void ForgetListing(const std::string& given);

// The notes of the drives a search meets, each read from `catalogue` once.
class DriveNotes {
  public:
    explicit DriveNotes(std::string catalogue) : catalogue_(std::move(catalogue)) {}
    // The note of the drive `record` is of (empty: none).
    const std::string& Of(const ListingRecord& record);
    void Forget() { notes_.clear(); }  // read again: a note may have been kept since

  private:
    std::string catalogue_;
    std::map<std::string, std::string> notes_;
};

// The note kept of a drive (empty: none), and setting it (empty: removing it).
std::string DriveNote(const std::string& catalogue, const std::string& drive);
void SetDriveNote(const std::string& catalogue, const std::string& drive, const std::string& note);

}  // namespace quorvale::catalogue
