#pragma once

#include <alsa/asoundlib.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "player/volume/CVolumeConvertion.h"
#include "utils/APlayerInfoAdapter.h"

// Drives one simple-mixer element of the "default" card: volume in percent or in dB, and
// remembers the current volume in percent. The element may appear late: a softvol control
// exists only once its PCM has been opened, so while it is missing every volume setting
// looks it up again, and FindMissingElement (after the output device opened) does too and
// applies the volume last asked for. Its own lock guards the mixer and the values: the
// player thread (commands, device opens) and the fader's timer thread both call in.
class CVolumeControlAdapter final : public CVolumeConvertion, public APlayerInfoAdapter {
public:
    CVolumeControlAdapter() { APlayerInfoAdapter::set_player_prefix(kDefaultPrefix); }
    ~CVolumeControlAdapter() override = default;
    CVolumeControlAdapter(const CVolumeControlAdapter&) = delete;
    CVolumeControlAdapter& operator=(const CVolumeControlAdapter&) = delete;

    // Opens the mixer and looks up the element; a card without it still opens (0).
    // Returns 0, the ALSA error of the failing step, or -1.
    int OpenMixer();
    // Returns the snd_mixer_close result, 0 when no mixer is open.
    int CloseMixer();
    // percent 0..100; 0 or -1. A setting that fails for a missing element is remembered.
    int SetOutputVolume(int percent);
    // dB -120..0; 0, the ALSA error, or -1 for a bad value or a missing element.
    int SetOutputVolume_db(int db);
    // While the element is missing (and the mixer wanted open), looks it up again and, once
    // found, applies the last setting that failed for its absence. Returns 1 when the
    // element was found now, 0 when it was there already, -1 when it is still missing.
    int FindMissingElement();

    // Takes effect at the next OpenMixer (or look-up of a missing element).
    void SetElementName(const char* name);
    // Not while another thread sets the name.
    const char* GetElementName() const { return m_element_name.c_str(); }

    // Current volume in percent and level (hundredths of a dB after SetOutputVolume, whole
    // dB after SetOutputVolume_db).
    int GetVolume() const;
    int GetLevel() const;
    bool HasElement() const;

    void set_player_prefix(const char* text) override;

private:
    struct MixerCloser {
        void operator()(snd_mixer_t* m) const noexcept { snd_mixer_close(m); }
    };
    using Mixer = std::unique_ptr<snd_mixer_t, MixerCloser>;
    // The setting that failed for a missing element, applied once the element appears.
    enum class Pending { kNone, kPercent, kDb };

    int OpenMixerLocked();
    bool LookUpAgainLocked();
    snd_mixer_elem_t* FindElement(snd_mixer_t* mixer) const;
    int SetPercentLocked(int percent);
    int SetDbLocked(int db);
    void ApplyPendingLocked();

    mutable std::mutex m_lock;
    int32_t m_volume = 0;  // percent; guarded by m_lock
    int32_t m_level = 0;   // guarded by m_lock
    Mixer m_mixer;         // guarded by m_lock
    bool m_mixer_wanted = false;  // OpenMixer called and not closed since; guarded by m_lock
    std::string m_element_name = "Playback";  // written under m_lock
    snd_mixer_elem_t* m_element = nullptr;  // belongs to m_mixer; null if missing; guarded by m_lock
    Pending m_pending = Pending::kNone;      // guarded by m_lock
    int32_t m_pending_value = 0;            // percent or dB; guarded by m_lock
};
