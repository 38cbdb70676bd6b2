/* Mixer values of the virtual card, kept in a text file ("<element> <value>" per line)
 * so that every process that opens the card sees the same mixer. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

enum { VCARD_MIXER_ELEMS = 5, VCARD_MIXER_MAX = 255, VCARD_MIXER_DEFAULT = 255 };

/* Simple-element names: "chan_1" .. "chan_4", "Playback". */
extern const char *const vcard_mixer_names[VCARD_MIXER_ELEMS];

/* Fills values from <dir>/mixer.state; missing or bad entries get the default.
 * Returns 0 or -errno (values still filled). */
int vcard_mixer_load(const char *dir, long values[VCARD_MIXER_ELEMS]);

/* As vcard_mixer_load, and tells which elements exist: all of them on the normal card;
 * with VCARD_SOFTVOL only those with a line in the state file (made by the first open of
 * their PCM, or by a saved state). */
int vcard_mixer_load_present(const char *dir, long values[VCARD_MIXER_ELEMS],
                             int present[VCARD_MIXER_ELEMS]);

/* Sets one element (clamped to 0..255) under an exclusive file lock, so concurrent
 * writers from several processes do not lose each other's values. With VCARD_SOFTVOL
 * the file keeps only the elements that exist, plus this one. */
int vcard_mixer_store(const char *dir, int elem, long value);

/* With VCARD_SOFTVOL, makes elem exist at full volume (255) unless it does already, as
 * a softvol PCM creates its control when it is opened. Returns 1 when it was made, 0
 * when it existed (or without VCARD_SOFTVOL), or -errno. */
int vcard_mixer_create(const char *dir, int elem);

/* The element whose softvol control a PCM opens ("channel1" -> "chan_1", ...,
 * "default" -> "Playback"), or -1 (dmix has none). */
int vcard_mixer_elem_of_pcm(const char *pcm);

#ifdef __cplusplus
}
#endif
