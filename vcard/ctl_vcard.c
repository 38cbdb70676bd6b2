/* Mixer of the virtual sound card: an ALSA control plugin with one integer playback
 * volume per output channel plus the global "Playback", kept in a state file. */
#include <alsa/asoundlib.h>
#include <alsa/control_external.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "vcard_env.h"
#include "vcard_events.h"
#include "vcard_mixer_state.h"

typedef struct vcard_ctl {
    snd_ctl_ext_t ext;
    char dir[PATH_MAX - 32];
    int event_fd;    /* poll descriptor; the card raises no change events */
    int no_mixer;    /* the card is built without mixer elements */
    /* The elements that existed when the list was last counted, in list order: with
     * VCARD_SOFTVOL an element appears only once its PCM was opened. */
    int listed[VCARD_MIXER_ELEMS];
    int listed_count;
} vcard_ctl;

/* The simple mixer only applies a dB scale to controls named "<x> Playback Volume". */
static const char *const control_suffix = " Playback Volume";

/* -120 dB at 0 to 0 dB at 255, linear in dB (values in hundredths of a dB) */
static const unsigned int db_tlv[] = {SND_CTL_TLVT_DB_MINMAX, 2 * sizeof(unsigned int),
                                      (unsigned int)-12000, 0};

static void vcard_ctl_close(snd_ctl_ext_t *ext)
{
    vcard_ctl *c = ext->private_data;
    if (c->event_fd >= 0)
        close(c->event_fd);
    free(c);
}

/* present[i]: element i exists now */
static void vcard_present(const vcard_ctl *c, int present[VCARD_MIXER_ELEMS])
{
    long values[VCARD_MIXER_ELEMS];
    vcard_mixer_load_present(c->dir, values, present);
    if (c->no_mixer)
        memset(present, 0, sizeof(int) * VCARD_MIXER_ELEMS);
}

static int vcard_elem_count(snd_ctl_ext_t *ext)
{
    vcard_ctl *c = ext->private_data;
    int present[VCARD_MIXER_ELEMS];
    vcard_present(c, present);
    c->listed_count = 0;
    for (int i = 0; i < VCARD_MIXER_ELEMS; ++i)
        if (present[i])
            c->listed[c->listed_count++] = i;
    return c->listed_count;
}

static int vcard_elem_list(snd_ctl_ext_t *ext, unsigned int offset, snd_ctl_elem_id_t *id)
{
    const vcard_ctl *c = ext->private_data;
    char name[44];
    if ((int)offset >= c->listed_count)
        return -EINVAL;
    snprintf(name, sizeof(name), "%s%s", vcard_mixer_names[c->listed[offset]], control_suffix);
    snd_ctl_elem_id_set_interface(id, SND_CTL_ELEM_IFACE_MIXER);
    snd_ctl_elem_id_set_name(id, name);
    return 0;
}

static snd_ctl_ext_key_t vcard_find_elem(snd_ctl_ext_t *ext, const snd_ctl_elem_id_t *id)
{
    const vcard_ctl *c = ext->private_data;
    const char *name = snd_ctl_elem_id_get_name(id);
    const size_t suffix = strlen(control_suffix);
    const size_t len = strlen(name);
    int present[VCARD_MIXER_ELEMS];
    if (len <= suffix || strcmp(name + len - suffix, control_suffix) != 0)
        return SND_CTL_EXT_KEY_NOT_FOUND;
    vcard_present(c, present);
    for (int i = 0; i < VCARD_MIXER_ELEMS; ++i)
        if (present[i] && strlen(vcard_mixer_names[i]) == len - suffix &&
            strncmp(name, vcard_mixer_names[i], len - suffix) == 0)
            return (snd_ctl_ext_key_t)i;
    return SND_CTL_EXT_KEY_NOT_FOUND;
}

static int vcard_get_attribute(snd_ctl_ext_t *ext, snd_ctl_ext_key_t key, int *type,
                               unsigned int *acc, unsigned int *count)
{
    (void)ext;
    (void)key;
    *type = SND_CTL_ELEM_TYPE_INTEGER;
    *acc = SND_CTL_EXT_ACCESS_READWRITE | SND_CTL_EXT_ACCESS_TLV_READ;
    *count = 1;
    return 0;
}

static int vcard_get_integer_info(snd_ctl_ext_t *ext, snd_ctl_ext_key_t key, long *imin,
                                  long *imax, long *istep)
{
    (void)ext;
    (void)key;
    *imin = 0;
    *imax = VCARD_MIXER_MAX;
    *istep = 1;
    return 0;
}

static int vcard_read_integer(snd_ctl_ext_t *ext, snd_ctl_ext_key_t key, long *value)
{
    const vcard_ctl *c = ext->private_data;
    long values[VCARD_MIXER_ELEMS];
    /* read on every access: another process may have changed the mixer */
    vcard_mixer_load(c->dir, values);
    *value = values[key];
    return 0;
}

static int vcard_write_integer(snd_ctl_ext_t *ext, snd_ctl_ext_key_t key, long *value)
{
    const vcard_ctl *c = ext->private_data;
    long values[VCARD_MIXER_ELEMS];
    int err;
    if (*value < 0 || *value > VCARD_MIXER_MAX)
        return -EINVAL;
    vcard_mixer_load(c->dir, values);
    if (values[key] == *value)
        return 0;
    err = vcard_mixer_store(c->dir, (int)key, *value);
    if (err < 0)
        return err;
    /* the log keeps every value, so a test sees a jump that a later write hid */
    vcard_event("mixer", "set", "element=%s value=%ld", vcard_mixer_names[key], *value);
    return 1;
}

static int vcard_read_event(snd_ctl_ext_t *ext, snd_ctl_elem_id_t *id, unsigned int *event_mask)
{
    (void)ext;
    (void)id;
    (void)event_mask;
    return -EAGAIN;
}

static const snd_ctl_ext_callback_t vcard_ctl_callbacks = {
    .close = vcard_ctl_close,
    .elem_count = vcard_elem_count,
    .elem_list = vcard_elem_list,
    .find_elem = vcard_find_elem,
    .get_attribute = vcard_get_attribute,
    .get_integer_info = vcard_get_integer_info,
    .read_integer = vcard_read_integer,
    .write_integer = vcard_write_integer,
    .read_event = vcard_read_event,
};

SND_CTL_PLUGIN_DEFINE_FUNC(vcard)
{
    snd_config_iterator_t i, next;
    vcard_ctl *c;
    const char *no_mixer;
    int err;
    (void)root;

    snd_config_for_each(i, next, conf)
    {
        snd_config_t *n = snd_config_iterator_entry(i);
        const char *id;
        if (snd_config_get_id(n, &id) < 0)
            continue;
        if (!strcmp(id, "comment") || !strcmp(id, "type") || !strcmp(id, "hint"))
            continue;
        SNDERR("vcard: unknown field %s", id);
        return -EINVAL;
    }
    c = calloc(1, sizeof(*c));
    if (!c)
        return -ENOMEM;
    err = vcard_env_dir(c->dir, sizeof(c->dir));
    if (err < 0) {
        free(c);
        return err;
    }
    c->event_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (c->event_fd < 0) {
        err = -errno;
        free(c);
        return err;
    }
    no_mixer = getenv("VCARD_NO_MIXER");
    c->no_mixer = no_mixer && *no_mixer && strcmp(no_mixer, "0") != 0;
    c->ext.version = SND_CTL_EXT_VERSION;
    c->ext.card_idx = 0;
    snprintf(c->ext.id, sizeof(c->ext.id), "vcard");
    snprintf(c->ext.driver, sizeof(c->ext.driver), "vcard");
    snprintf(c->ext.name, sizeof(c->ext.name), "Virtual sound card");
    snprintf(c->ext.longname, sizeof(c->ext.longname), "Virtual sound card (test device)");
    snprintf(c->ext.mixername, sizeof(c->ext.mixername), "vcard mixer");
    c->ext.poll_fd = c->event_fd;
    c->ext.callback = &vcard_ctl_callbacks;
    c->ext.private_data = c;
    c->ext.tlv.p = db_tlv;
    err = snd_ctl_ext_create(&c->ext, name, mode);
    if (err < 0) {
        close(c->event_fd);
        free(c);
        return err;
    }
    *handlep = c->ext.handle;
    return 0;
}

SND_CTL_PLUGIN_SYMBOL(vcard);
