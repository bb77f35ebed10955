// One-pass file transformations: the backup one compresses (when asked) and
// encrypts a source file into a work file; the restore one decrypts and
// decompresses (when asked) a stored file into its target and gives the
// target its attributes and times. Both run on the job's worker thread and
// stop between reads when their interrupter says so (last error 1223).
#pragma once

#include <cstdint>

#include "common/file_stream.h"
#include "platform/win32.h"

class Transformation {
public:
    virtual ~Transformation() = default;
    // True when the target holds the whole transformed source; false with the
    // reason in the last error (1223 when stop interrupted it).
    virtual bool transform(const wchar_t* source, const wchar_t* target,
                           const WIN32_FILE_ATTRIBUTE_DATA* attributes, interrupter* stop) = 0;

    bool compression() const { return compression_; }

protected:
    explicit Transformation(bool compression);

    bool compression_;
    uint8_t key_[16];
    uint8_t iv_[16];
};

class BackupTransformation : public Transformation {
public:
    explicit BackupTransformation(bool compress) : Transformation(compress) {}
    // attributes is not used.
    bool transform(const wchar_t* source, const wchar_t* target,
                   const WIN32_FILE_ATTRIBUTE_DATA* attributes, interrupter* stop) override;
};

class RestoreTransformation : public Transformation {
public:
    explicit RestoreTransformation(bool decompress) : Transformation(decompress) {}
    // attributes, when given, are set on the target once its data is written.
    bool transform(const wchar_t* source, const wchar_t* target,
                   const WIN32_FILE_ATTRIBUTE_DATA* attributes, interrupter* stop) override;
};
