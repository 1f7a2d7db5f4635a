// The installer's SHA-256, computed on a thread of its own while the packages
// arrive, so that hashing overlaps the transfer instead of slowing it. The
// download thread hands over copies of the bytes an attempt wrote; a whole
// package's bytes count, a failed attempt's are dropped.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

class BackgroundDigest {
public:
    BackgroundDigest();  // where no thread can start, the bytes are hashed as they come
    ~BackgroundDigest();
    BackgroundDigest(const BackgroundDigest&) = delete;
    BackgroundDigest& operator=(const BackgroundDigest&) = delete;

    void Add(const char* data, std::size_t size);  // bytes of the attempt under way
    void Commit();                                 // the attempt's package arrived whole
    void Rollback();                               // the attempt failed: its bytes never count
    // The 32 bytes of the digest of every committed byte, once all are hashed;
    // "" where the OS failed to hash.
    std::string Finish();

    struct State;

private:
    std::shared_ptr<State> state_;  // shared with the thread, which may outlive this object
};
