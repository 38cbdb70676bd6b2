#pragma once

#include <string>

// Base of every engine component: the player id and the prefix that starts every log line.
// Every component sets kDefaultPrefix while it is built and keeps it until its player hands
// down its own.
class APlayerInfoAdapter {
public:
    static constexpr const char* kDefaultPrefix = "PLAYBACK :";

    APlayerInfoAdapter() = default;
    virtual ~APlayerInfoAdapter() = default;

    virtual int get_player_id() const { return m_player_id; }
    virtual void set_player_id(int id) { m_player_id = id; }
    // Components override this to append their own suffix after the given text.
    virtual void set_player_prefix(const char* text) { m_prefix = text ? text : ""; }
    virtual const char* get_player_prefix() const { return m_prefix.c_str(); }
    virtual void append_player_prefix(const char* text) { m_prefix += text ? text : ""; }

private:
    int m_player_id = -1;
    std::string m_prefix;
};
