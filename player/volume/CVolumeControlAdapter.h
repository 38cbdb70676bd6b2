#pragma once

#include <alsa/asoundlib.h>

#include <cstdint>
#include <memory>
#include <string>

#include "player/volume/CVolumeConvertion.h"
#include "utils/APlayerInfoAdapter.h"

// Drives one simple-mixer element of the "default" card: volume in percent or in dB, and
// remembers the current volume in percent. No lock of its own: the player serialises its
// calls (command thread, and the fader's timer callback under the fader's lock).
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
    // percent 0..100; 0 or -1.
    int SetOutputVolume(int percent);
    // dB -120..0; 0, the ALSA error, or -1 for a bad value or a missing element.
    int SetOutputVolume_db(int db);

    // Takes effect at the next OpenMixer.
    void SetElementName(const char* name) { m_element_name = name ? name : ""; }
    const char* GetElementName() const { return m_element_name.c_str(); }

    // Current volume in percent and level (hundredths of a dB after SetOutputVolume, whole
    // dB after SetOutputVolume_db).
    int GetVolume() const { return m_volume; }
    int GetLevel() const { return m_level; }
    bool HasElement() const { return m_element != nullptr; }

    void set_player_prefix(const char* text) override;

private:
    struct MixerCloser {
        void operator()(snd_mixer_t* m) const noexcept { snd_mixer_close(m); }
    };

    int32_t m_volume = 0;  // percent
    int32_t m_level = 0;
    std::unique_ptr<snd_mixer_t, MixerCloser> m_mixer;
    std::string m_element_name = "Playback";
    snd_mixer_elem_t* m_element = nullptr;  // belongs to m_mixer; null if the card lacks it
};
