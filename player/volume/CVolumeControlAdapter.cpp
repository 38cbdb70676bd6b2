#include "player/volume/CVolumeControlAdapter.h"

#include "utils/CLogger.h"

namespace {
struct SelemIdFree {
    void operator()(snd_mixer_selem_id_t* id) const noexcept { snd_mixer_selem_id_free(id); }
};

// A mixer of the "default" card with its simple elements loaded; null on any failure.
// Quiet: a look-up that runs at every volume step must not repeat errors OpenMixer logged.
snd_mixer_t* LoadMixerQuietly() {
    snd_mixer_t* raw = nullptr;
    if (snd_mixer_open(&raw, 0) != 0) return nullptr;
    if (snd_mixer_attach(raw, "default") < 0 || snd_mixer_selem_register(raw, nullptr, nullptr) < 0 ||
        snd_mixer_load(raw) < 0) {
        snd_mixer_close(raw);
        return nullptr;
    }
    return raw;
}
}  // namespace

void CVolumeControlAdapter::set_player_prefix(const char* text) {
    APlayerInfoAdapter::set_player_prefix((std::string(text ? text : "") + " VOLUME CONTROL:").c_str());
}

void CVolumeControlAdapter::SetElementName(const char* name) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_element_name = name ? name : "";
}

int CVolumeControlAdapter::GetVolume() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_volume;
}

int CVolumeControlAdapter::GetLevel() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_level;
}

bool CVolumeControlAdapter::HasElement() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_element != nullptr;
}

int CVolumeControlAdapter::OpenMixer() {
    std::lock_guard<std::mutex> lock(m_lock);
    return OpenMixerLocked();
}

int CVolumeControlAdapter::OpenMixerLocked() {
    m_element = nullptr;
    m_mixer.reset();  // reopening must not leak the previous handle
    m_mixer_wanted = true;
    snd_mixer_t* raw = nullptr;
    int r = snd_mixer_open(&raw, 0);
    if (r != 0) {
        utils::logger.error("%s ERROR :CPCMOutput::OpenMixer(): cannot open sound mixer (%s)\n",
                            get_player_prefix(), snd_strerror(r));
        return r;
    }
    m_mixer.reset(raw);
    if ((r = snd_mixer_attach(raw, "default")) < 0) {
        utils::logger.error(
            "%s ERROR :CPCMOutput::OpenMixer(): cannot attach sound mixer to sound card (%s)\n",
            get_player_prefix(), snd_strerror(r));
        return r;
    }
    if ((r = snd_mixer_selem_register(raw, nullptr, nullptr)) < 0) {
        utils::logger.error("%s ERROR :CPCMOutput::OpenMixer(): cannot register sound mixer (%s)\n",
                            get_player_prefix(), snd_strerror(r));
        return r;
    }
    if ((r = snd_mixer_load(raw)) < 0) {
        utils::logger.error("%s ERROR :CPCMOutput::OpenMixer(): cannot load mixer (%s)\n",
                            get_player_prefix(), snd_strerror(r));
        return r;
    }
    snd_mixer_selem_id_t* id_raw = nullptr;
    if (snd_mixer_selem_id_malloc(&id_raw) < 0 || !id_raw) {
        utils::logger.error(
            "%s ERROR :CPCMOutput::OpenMixer(): cannot allocate simple mixer element struct \n",
            get_player_prefix());
        return -1;
    }
    std::unique_ptr<snd_mixer_selem_id_t, SelemIdFree> id(id_raw);
    snd_mixer_selem_id_set_index(id.get(), 0);
    snd_mixer_selem_id_set_name(id.get(), m_element_name.c_str());
    m_element = snd_mixer_find_selem(raw, id.get());
    return 0;
}

snd_mixer_elem_t* CVolumeControlAdapter::FindElement(snd_mixer_t* mixer) const {
    snd_mixer_selem_id_t* id_raw = nullptr;
    if (snd_mixer_selem_id_malloc(&id_raw) < 0 || !id_raw) return nullptr;
    std::unique_ptr<snd_mixer_selem_id_t, SelemIdFree> id(id_raw);
    snd_mixer_selem_id_set_index(id.get(), 0);
    snd_mixer_selem_id_set_name(id.get(), m_element_name.c_str());
    return snd_mixer_find_selem(mixer, id.get());
}

// A loaded mixer learns of a control added later only through events, which a card need
// not send: load the mixer anew. Keeps the old mixer when the new one cannot be loaded.
bool CVolumeControlAdapter::LookUpAgainLocked() {
    if (m_element) return true;
    if (!m_mixer_wanted) return false;
    Mixer fresh(LoadMixerQuietly());
    if (!fresh) return false;
    snd_mixer_elem_t* element = FindElement(fresh.get());
    if (!element) return false;
    m_mixer = std::move(fresh);
    m_element = element;
    utils::logger.notice("%s  mixer simple element %s found.\n", get_player_prefix(), m_element_name.c_str());
    return true;
}

int CVolumeControlAdapter::CloseMixer() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_element = nullptr;
    m_mixer_wanted = false;
    m_pending = Pending::kNone;
    if (!m_mixer) {
        utils::logger.info("%s CPCMOutput::CloseMixer(): No active mixer handle found. \n",
                           get_player_prefix());
        return 0;
    }
    return snd_mixer_close(m_mixer.release());
}

int CVolumeControlAdapter::FindMissingElement() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_element) return 0;
    if (!LookUpAgainLocked()) return -1;
    ApplyPendingLocked();
    return 1;
}

void CVolumeControlAdapter::ApplyPendingLocked() {
    const Pending pending = m_pending;
    m_pending = Pending::kNone;
    if (pending == Pending::kPercent)
        SetPercentLocked(m_pending_value);
    else if (pending == Pending::kDb)
        SetDbLocked(m_pending_value);
}

int CVolumeControlAdapter::SetOutputVolume(int percent) {
    std::lock_guard<std::mutex> lock(m_lock);
    return SetPercentLocked(percent);
}

int CVolumeControlAdapter::SetPercentLocked(int percent) {
    // Negative values are as wrong as values above 100 and would reach the mixer unchecked.
    if (percent < 0 || percent > 100) {
        utils::logger.error(
            "%s ERROR :CPCMOutput::SetOutputVolume(): Volume value %ld is out of range, value in "
            "[0..100 %%] required. \n",
            get_player_prefix(), static_cast<long>(percent));
        return -1;
    }
    if (!LookUpAgainLocked()) {
        m_pending = Pending::kPercent;
        m_pending_value = percent;
        utils::logger.error("%s ERROR :SetOutputVolume(): Could not find the mixer simple element: %s ",
                            get_player_prefix(), m_element_name.c_str());
        return -1;
    }
    m_pending = Pending::kNone;
    // The device's elements range 0..255; integer division on purpose (50 % -> 127).
    const long raw = static_cast<long>(percent) * 255 / 100;
    const int r = snd_mixer_selem_set_playback_volume_all(m_element, raw);
    if (r < 0) {
        utils::logger.error(
            "%s ERROR : id=%d, CPCMOutput::SetOutputVolume(): cannot set volume of Mixer element "
            "%s to %d. ret=%d (%s)\n",
            get_player_prefix(), get_player_id(), m_element_name.c_str(), percent, r,
            snd_strerror(r));
        return -1;
    }
    utils::logger.notice("%s  Setting volume %d%% went OK.\n", get_player_prefix(), percent);
    m_volume = percent;
    m_level = PercentToDb(percent);
    return 0;
}

int CVolumeControlAdapter::SetOutputVolume_db(int db) {
    std::lock_guard<std::mutex> lock(m_lock);
    return SetDbLocked(db);
}

int CVolumeControlAdapter::SetDbLocked(int db) {
    if (db < -120 || db > 0) {
        utils::logger.error(
            "%s ERROR :CPCMOutput::SetOutputVolume_db(): Volume value %ld dB is out of range, "
            "value in [-120..0 dB] required. \n",
            get_player_prefix(), static_cast<long>(db));
        return -1;
    }
    if (!LookUpAgainLocked()) {
        m_pending = Pending::kDb;
        m_pending_value = db;
        utils::logger.error(
            "%s ERROR :CPCMOutput::SetOutputVolume_db(): Could not find the mixer simple element: "
            "'%s'\n",
            get_player_prefix(), m_element_name.c_str());
        return -1;
    }
    m_pending = Pending::kNone;
    const int r = snd_mixer_selem_set_playback_dB_all(m_element, static_cast<long>(db) * 100, 0);
    if (r < 0) {
        utils::logger.error(
            "%s ERROR :CPCMOutput::SetOutputVolume_db(): cannot set volume for Mixer element %s "
            "to %d dB. (%s)\n",
            get_player_prefix(), m_element_name.c_str(), db, snd_strerror(r));
        return r;
    }
    utils::logger.notice("%s  id=%d, CPCMOutput::SetOutputVolume_db(): Setting volume %d in dB went OK.\n",
                         get_player_prefix(), get_player_id(), db);
    m_level = db;
    m_volume = DbToPercent(db * 100);
    return 0;
}
