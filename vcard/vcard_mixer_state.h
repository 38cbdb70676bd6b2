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

/* Sets one element (clamped to 0..255) under an exclusive file lock, so concurrent
 * writers from several processes do not lose each other's values. */
int vcard_mixer_store(const char *dir, int elem, long value);

#ifdef __cplusplus
}
#endif
