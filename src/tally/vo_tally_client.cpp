#include "tally/vo_tally_client.h"

#include <utility>

#include "tally/batch.h"
#include "tally/vo_log_util.h"

namespace tally {

VoTallyClient::VoTallyClient(std::string_view vctrlPath, std::string_view vfmt, bool bUploadCache)
    : VoTallyClient(vctrlPath, vfmt, bUploadCache, Options{}) {}

VoTallyClient::VoTallyClient(std::string_view vctrlPath, std::string_view vfmt, bool bUploadCache,
                             Options options) {
    VoLogUtil::d("init => vctrl['" + std::string(vctrlPath) + "'] vfmt['" + std::string(vfmt) +
                 "']");
    mControl.emplace(vctrlPath);
    mFormat.emplace(vfmt);
    mPoster = std::make_unique<VoHttpPoster>(options.postTimeout);
    mDataCache = std::make_unique<VoDataCache>(std::move(options.now));
    if (mControl) {
        mProductId = mControl->getProductId();
        mDefaultUrl = mControl->getServerUrl(int64_t{0});
    }
    VoLogUtil::w("VoTallyClient => productId['" + std::to_string(mProductId) + "']");
    m_bUpdateLoadCache = bUploadCache;
    if (m_bUpdateLoadCache && mDataCache && mControl) {
        mDataCache->postCacheFiles(*mControl, *mPoster);
    }
}

VoTallyClient::~VoTallyClient() = default;

bool VoTallyClient::setPublicData(std::string_view tableName, const TallyPayload& payload) {
    if (!mFormat || !mControl) {
        VoLogUtil::e("setPublicData => uninitialized!!!");
        return false;
    }
    if (mProductId <= 0) {
        VoLogUtil::w("setPublicData => WARN: Invalid productId['" + std::to_string(mProductId) +
                     "']");
        return false;
    }
    VoLogUtil::d("setPublicData => table['" + std::string(tableName) + "']");
    TableFormat* table = mFormat->getTable(tableName);
    if (table == nullptr) {
        VoLogUtil::e("setPublicData => not found table['" + std::string(tableName) + "']");
        return false;
    }
    mPublicTable = nullptr;
    mPublicPayload.reset();
    // A trial encoding, so a payload that cannot be written is refused now rather than at every
    // later report.
    ByteBuffer trial;
    if (table->tryWrite(trial, payload)) {
        VoLogUtil::e("setPublicData => Exception");
        return false;
    }
    mPublicTable = table;
    mPublicPayload = payload;
    return true;
}

bool VoTallyClient::report(std::string_view tableName, const TallyPayload& payload, bool force) {
    if (!mFormat || !mControl) {
        VoLogUtil::e("report => uninitialized!!!");
        return false;
    }
    if (mProductId < 1) {
        VoLogUtil::w("report => WARN: Invalid productId['" + std::to_string(mProductId) + "']");
        return false;
    }
    if (mPublicTable == nullptr || !mPublicPayload) {
        VoLogUtil::e("report => not found public data");
        return false;
    }
    TableFormat* table = mFormat->getTable(tableName);
    if (table == nullptr) {
        VoLogUtil::e("report => not found table['" + std::string(tableName) + "']");
        return false;
    }
    // The assembly refuses what the header cannot hold (a product id above 32 bits, records over
    // 65522 bytes) instead of cutting a length or the id.
    Result<ByteBuffer> assembled =
        assembleBatch(mProductId, *mPublicTable, *mPublicPayload, *table, payload);
    if (!assembled) {
        VoLogUtil::e("report => failed to report!!! error:" + assembled.error().description);
        return false;
    }
    ByteBuffer batch = std::move(assembled).value();
    const std::string url = mControl->getServerUrl(tableName);

    if (!force) {
        if (m_bUpdateLoadCache && mDataCache) {
            (void)mDataCache->saveFile(tableName, batch, false);
        }
        return true;
    }
    if (!mPoster) {
        return true;
    }
    std::weak_ptr<int> alive = mAlive;
    std::string name(tableName);
    // Only a client with the cache on needs the bytes again after a failed post.
    ByteBuffer keep = m_bUpdateLoadCache ? batch : ByteBuffer{};
    mPoster->post(
        url, std::move(batch),
        [this, alive, name] {
            if (alive.expired()) {
                return;
            }
            VoLogUtil::d("report => post table['" + name + "'] success");
            if (m_bUpdateLoadCache && mDataCache && mControl && mPoster) {
                mDataCache->postCacheFiles(*mControl, *mPoster);
            }
        },
        [this, alive, name, keep = std::move(keep)](const PostError&) {
            if (alive.expired()) {
                return;
            }
            VoLogUtil::d("report => post table['" + name + "'] failed!!!");
            if (m_bUpdateLoadCache && mDataCache) {
                (void)mDataCache->saveFile(name, keep, true);
            }
        });
    return true;
}

bool VoTallyClient::flush(std::chrono::milliseconds bound) {
    if (!mPoster) {
        return true;
    }
    return mPoster->waitUntilIdle(bound);
}

}  // namespace tally
