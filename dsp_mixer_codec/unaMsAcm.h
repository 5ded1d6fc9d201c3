#pragma once
// The compression drivers as the program sees them: the list of installed drivers, each
// driver's details (read when first asked for), its format tags and formats, format
// suggestion, and the search for the driver of a format tag.
//
// Threading: used from the thread that owns the objects; there are no locks. Platform results
// are passed on as they are (0 success).

#include <cstdint>
#include <string>
#include <vector>

#include "audio/unaWaveCodecSource.h"
#include "audio/unaWaveFormat.h"
#include "foundation/unaObject.h"
#include "platform/compression.h"

namespace una {

class unaMsAcm;
class unaMsAcmDriver;

// An object enumerated under a driver.
class unaMsAcmObjectTag : public unaObject {
  public:
    explicit unaMsAcmObjectTag(unaMsAcmDriver* driver) : driver(driver) {}
    unaMsAcmDriver* const driver;
};

// One format tag of a driver, with a copy of its details.
class unaMsAcmFormatTag : public unaMsAcmObjectTag {
  public:
    unaMsAcmFormatTag(unaMsAcmDriver* driver, const platform::AcmFormatTagDetails& details)
        : unaMsAcmObjectTag(driver), details(details) {}
    const platform::AcmFormatTagDetails details;
};

inline constexpr int32_t kAcmObjectFormat = 2;

// An enumerated object with its details; the details' format pointer refers to an owned copy.
class unaMsAcmObject : public unaObject {
  public:
    unaMsAcmObject(unaMsAcmDriver* driver, unaMsAcmFormatTag* tag)
        : driver(driver), tag(tag) {}
    // Frees the owned format; the details then point to none, size 0.
    virtual void release();

    unaMsAcmDriver* const driver;
    int32_t kind = 0;
    platform::AcmFormatDetails details;
    unaMsAcmFormatTag* const tag;

  protected:
    unaWaveFormat format_;
};

// One standard format of a driver. The owned copy is never shorter than 18 bytes; its
// extraSize says how many of them follow the first 18.
class unaMsAcmFormat : public unaMsAcmObject {
  public:
    unaMsAcmFormat(unaMsAcmDriver* driver, unaMsAcmFormatTag* tag);
    unaMsAcmFormat(unaMsAcmDriver* driver, unaMsAcmFormatTag* tag,
                   const platform::AcmFormatDetails& enumerated);
    const WaveFormatEx* getFormat() const { return format_.get(); }
};

// One compression driver. Opened on first need; stays open until destroyed.
class unaMsAcmDriver : public unaObject {
  public:
    // fileName not empty: a driver opened outside the manager, whose id is its handle.
    unaMsAcmDriver(unaMsAcm* acm, std::string fileName, uint32_t support, platform::AcmId driverId);
    // Reads maxFormatSize (0 when the manager cannot tell).
    void afterConstruction() override;
    // Closes.
    void beforeDestruction() override;

    // The platform's open result (0 also when already open); the handle stays none on failure.
    MmResult open();
    // Only for an open driver that is not direct; 0 when nothing was done.
    MmResult close();
    bool isOpen() const { return handle_ != 0; }
    // Opens when needed; none when that fails.
    platform::AcmId getHandle();

    // The details, read the first time they are asked for; a failed read is tried again next
    // time (detailsValid false).
    const platform::AcmDriverDetailsW& getDetails();
    bool detailsValid() const { return detailsValid_; }
    // The driver's answer; for a driver that cannot be opened the manager's.
    intptr_t sendMessage(uint32_t message, intptr_t param1, intptr_t param2);
    // Fills dst with a format the driver converts src to; dst's rate is set to src's first and
    // the rate flag always added. The platform's result.
    MmResult suggestFormat(const WaveFormatEx* src, WaveFormatEx* dst, uint32_t flags);
    // Lists the driver's tags and (unless tagsOnly) their formats, restricted by the template's
    // channels, rate and bits as flags say. A second call with the same flags and tagsOnly
    // returns 0 at once unless force. The open result when the driver cannot be opened.
    MmResult enumFormats(uint32_t flags = 0, bool force = false,
                         const WaveFormatEx* enumTemplate = nullptr, bool tagsOnly = false);

    unaMsAcmFormatTag* getFormatTag(uint32_t index) const;
    uint32_t formatTagCount() const { return static_cast<uint32_t>(formatTags_.size()); }
    unaMsAcmFormat* getFormat(uint32_t index) const;
    uint32_t formatCount() const { return static_cast<uint32_t>(formats_.size()); }

    platform::AcmId driverId() const { return driverId_; }
    bool isDirect() const { return direct_; }
    const std::string& fileName() const { return fileName_; }
    uint32_t support() const { return support_; }
    int32_t maxFormatSize() const { return maxFormatSize_; }
    unaMsAcm* acm() const { return acm_; }

  private:
    platform::AcmDriverDetailsW details_;
    bool detailsValid_ = false;
    platform::AcmId driverId_;
    bool direct_;
    std::string fileName_;
    platform::AcmId handle_ = 0;
    uint32_t support_;
    int32_t maxFormatSize_ = 0;
    uint32_t enumFlags_ = 0;
    bool formatsEnumerated_ = false;
    uint32_t enumeratedFlags_ = 0;
    WaveFormatEx template_{};
    bool tagsOnly_ = false;
    std::vector<unaPtr<unaMsAcmFormat>> formats_;
    std::vector<unaPtr<unaMsAcmFormatTag>> formatTags_;
    unaMsAcm* acm_;
};

// The list of compression drivers. Made once by the main window, which calls enumDrivers(0).
// It is also what the WAV file stream asks for its codecs.
class unaMsAcm : public unaObject, public unaWaveCodecSource {
  public:
    unaMsAcm();

    // Builds the driver list anew in the manager's order; the manager's result.
    MmResult enumDrivers(uint32_t flags = 0);
    // Appends a driver made from an enumerated id.
    virtual void addDriver(platform::AcmId driverId, uint32_t support);

    unaMsAcmDriver* getDriver(uint32_t index) const;
    uint32_t driverCount() const { return static_cast<uint32_t>(drivers_.size()); }
    // The first driver whose details carry the ids; none when there is none.
    unaMsAcmDriver* findDriverByMidPid(uint16_t mid, uint16_t pid);
    // PCM (1): the manager's PCM converter (manufacturer 1, product 38). Any other tag: the
    // first driver in list order that lists the tag; none when no driver does.
    unaMsAcmDriver* findDriverByFormatTag(uint32_t tag);

    uint32_t version() const { return version_; }

    // A codec on the tag's driver with setFormatsByTag(true, pcm, tag). A driver that does not
    // take this PCM (GSM wants 8 kHz mono 16-bit, say) gets it through the PCM converter
    // first, in the nearest form it takes: 16 bits at the same rate and channels, then mono,
    // then its standard formats nearest in rate.
    int32_t makeEncoder(const WaveFormatEx& pcm, uint32_t tag,
                        std::vector<unaPtr<unaMsAcmStreamDevice>>& chain) override;
    // A codec on the tag's driver with setFormatSuggestPcm(false, coded).
    int32_t makeDecoder(const WaveFormatEx& coded, unaPtr<unaMsAcmStreamDevice>& codec) override;

  private:
    uint32_t version_;
    std::vector<unaPtr<unaMsAcmDriver>> drivers_;
};

}  // namespace una
