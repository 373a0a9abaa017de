-- Run by vst3-bundle.sh in ardour7-lua: a session at UX_SESSION with its tempo set
-- so that one tick is one sample (1500 beats a minute at 48 kHz: 1920 samples a
-- beat), the song of UX_SONG (lines "note START LENGTH KEY VELOCITY CHANNEL",
-- "cc AT CHANNEL NUMBER VALUE", "bend AT CHANNEL VALUE") in a MIDI region, played
-- through the VST3 plug-in UX_PLUGIN on a MIDI track, bounced, and played again in
-- real time with the track's output recorded on another track. Prints the bounce's
-- notes ("note START LENGTH KEY VELOCITY CHANNEL", in samples), the recording's
-- ("recorded ..." alike) and how many controller and pitch bend points the bounce
-- holds ("cc N", "bend N").
local length = tonumber(os.getenv("UX_LENGTH"))
assert(AudioEngine:set_backend("JACK", "", ""))
assert(create_session(os.getenv("UX_SESSION"), "song", 48000), "no session")

local tempo = Temporal.TempoMap.fetch_writable()
tempo:set_tempo(Temporal.Tempo(1500, 1500, 4), Temporal.timepos_t(0))
Temporal.TempoMap.update(tempo)
local map = Temporal.TempoMap.read()
local function beats(sample) return map:quarters_at(Temporal.timepos_t(sample)) end

local function midi_track(name)
  local midi = ARDOUR.DataType("midi")
  return Session:new_midi_track(ARDOUR.ChanCount(midi, 1), ARDOUR.ChanCount(midi, 1), true, ARDOUR.PluginInfo(),
    nil, nil, 1, name, ARDOUR.PresentationInfo.max_order, ARDOUR.TrackMode.Normal, true):front()
end

-- An empty MIDI region: the bounce of an empty track. The song goes into its model.
local source = midi_track("song")
local region = source:bounce_range(0, length, ARDOUR.InterThreadInfo(), source:main_outs(), false, "", false)
local song = region:to_midiregion()
local model = song:midi_source(0):model()
local notes = model:new_note_diff_command("song")
for line in io.lines(os.getenv("UX_SONG")) do
  local kind, a, b, c, d, e = line:match("(%a+) (%d+) (%d+) (%d+) ?(%d*) ?(%d*)")
  a, b, c, d, e = tonumber(a), tonumber(b), tonumber(c), tonumber(d), tonumber(e)
  -- Each point is one message, as in a file: no ramp between points.
  local function points(parameter)
    local list = song:control(parameter, true):list()
    list:set_interpolation(Evoral.InterpolationStyle.Discrete)
    return list
  end
  if kind == "note" then
    notes:add(ARDOUR.LuaAPI.new_noteptr(e, beats(a), beats(a + b) - beats(a), c, d))
  elseif kind == "cc" then
    points(Evoral.Parameter(ARDOUR.AutomationType.MidiCCAutomation, b, c)):add(Temporal.timepos_t.from_ticks(a), d, false, false)
  elseif kind == "bend" then
    points(Evoral.Parameter(ARDOUR.AutomationType.MidiPitchBenderAutomation, b, 0)):add(Temporal.timepos_t.from_ticks(a), c, false, false)
  end
end
model:apply_command(Session, notes)

local track = midi_track("played")
local plugin = ARDOUR.LuaAPI.new_plugin(Session, os.getenv("UX_PLUGIN"), ARDOUR.PluginType.VST3, "")
assert(not plugin:isnil(), "Ardour does not know the plug-in " .. os.getenv("UX_PLUGIN"))
assert(track:to_route():add_processor_by_index(plugin, 0, nil, true) == 0, "the plug-in could not be added")
track:playlist():add_region(region, Temporal.timepos_t(0), 1, false)
-- Made now, so that Ardour's own connecting of its ports, in a thread of its own, is
-- over before they are connected here: a JACK client's requests from two threads
-- at once can garble its connection to the server.
local recorder = midi_track("recorded")
-- Saved, so that the source's file holds the model, and given the time the disk
-- reader takes to read the playlist anew.
Session:save_state("", false, false, false, false, false)
ARDOUR.LuaAPI.usleep(1000000)
local bounced = track:bounce_range(0, length, ARDOUR.InterThreadInfo(), track:main_outs(), false, "", false)
assert(not bounced:isnil(), "no bounce")

-- The played track's output recorded in real time on a third track, from the
-- start of the song to its end.
recorder:input():disconnect_all(nil)
assert(recorder:input():connect(recorder:input():nth(0), track:output():nth(0):name(), nil) == 0,
  "the recording track could not be connected")
ARDOUR.LuaAPI.usleep(200000)
recorder:rec_enable_control():set_value(1, PBD.GroupControlDisposition.NoGroup)
Session:request_locate(0, false, ARDOUR.LocateTransportDisposition.MustStop, ARDOUR.TransportRequestSource.TRS_UI)
ARDOUR.LuaAPI.usleep(500000)
Session:maybe_enable_record(false)
Session:request_roll(ARDOUR.TransportRequestSource.TRS_UI)
for _ = 1, 600 do
  if Session:transport_sample() >= length then break end
  ARDOUR.LuaAPI.usleep(50000)
end
Session:request_stop(false, false, ARDOUR.TransportRequestSource.TRS_UI)
ARDOUR.LuaAPI.usleep(1000000)

local out = bounced:to_midiregion()
-- Beats print as "beats:ticks", 1920 ticks a beat, which the bindings give no other
-- way to read; here a tick is a sample.
local function samples(b)
  local whole, ticks = tostring(b):match("(%d+):(%d+)")
  return tonumber(whole) * 1920 + tonumber(ticks)
end
local function print_notes(kind, region, offset)
  for note in ARDOUR.LuaAPI.note_list(region:midi_source(0):model()):iter() do
    local start = samples(note:time())
    print(string.format("%s %d %d %d %d %d", kind, offset + start, samples(note:time() + note:length()) - start,
      note:note(), note:velocity(), note:channel()))
  end
end
print_notes("note", out, 0)
for recorded in recorder:playlist():region_list():iter() do
  print_notes("recorded", recorded:to_midiregion(), recorded:position():samples())
end
for _, kind in ipairs({{"cc", ARDOUR.AutomationType.MidiCCAutomation, 64},
                       {"bend", ARDOUR.AutomationType.MidiPitchBenderAutomation, 0}}) do
  local points = 0
  for channel = 0, 15 do
    local control = out:control(Evoral.Parameter(kind[2], channel, kind[3]), false)
    if not control:isnil() then points = points + control:list():events():size() end
  end
  print(kind[1] .. " " .. points)
end
close_session()
