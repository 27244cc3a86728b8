-- SPDX-License-Identifier: GPL-3.0-or-later
-- Run by ardour7-lua for Lv2Ardour.*, in VLX_SESSION_DIR: a session with a
-- MIDI track "Arp" (VLXArp before ACE Reasonable Synth, controls set) and an
-- audio track "Take" recording the synth; saved, closed and opened again;
-- then rolled from the top at 120 bpm (the session's default tempo) with a
-- chord sent into the MIDI track. What the test judges is printed on lines
-- starting "vlx ".
local dir, uri = os.getenv("VLX_SESSION_DIR"), os.getenv("VLX_LV2_URI")
local settings = { ["Arpeggiate"] = 1, ["Divert Input"] = 1, ["Resolution"] = 2, ["Sustain"] = 1, ["Cycle"] = 1,
                   ["Follow host tempo"] = 1 }
local none = PBD.GroupControlDisposition.NoGroup

-- The control ports' indices among the plugin's controls, by name.
local function controls(proc)
	local plugin, index, n = proc:to_insert():plugin(0), {}, 0
	for i = 0, plugin:parameter_count() - 1 do
		if plugin:parameter_is_control(i) and plugin:parameter_is_input(i) then
			index[plugin:parameter_label(i)] = n
			n = n + 1
		end
	end
	return index
end

AudioEngine:set_backend("None (Dummy)", "", "")
local s = create_session(dir, "arp", 48000)
assert(s, "no session")
-- The synth as the track's instrument, its audio outputs made by it (a track made with
-- them first and then given the synth sometimes registers a port twice and aborts).
local synth = ARDOUR.LuaAPI.new_plugin_info("https://community.ardour.org/node/7596", ARDOUR.PluginType.LV2)
assert(not synth:isnil(), "no ACE Reasonable Synth")
local track = s:new_midi_track(ARDOUR.ChanCount(ARDOUR.DataType("midi"), 1), ARDOUR.ChanCount(ARDOUR.DataType("midi"), 1),
	true, synth, nil, nil, 1, "Arp", ARDOUR.PresentationInfo.max_order, ARDOUR.TrackMode.Normal, true, false):front()
local arp = ARDOUR.LuaAPI.new_plugin(s, uri, ARDOUR.PluginType.LV2, "")
assert(not arp:isnil(), "no plugin " .. uri)
track:add_processor_by_index(arp, 0, nil, true)
-- Between them, what VLXArp sends is printed (ardour_probe.lua).
local probe = ARDOUR.LuaAPI.new_luaproc(s, "VLX Probe")
assert(not probe:isnil(), "no VLX Probe")
track:add_processor_by_index(probe, 1, nil, true)
local index = controls(track:nth_plugin(0))
for name, value in pairs(settings) do ARDOUR.LuaAPI.set_processor_param(track:nth_plugin(0), index[name], value) end
local take = s:new_audio_track(2, 2, nil, 1, "Take", ARDOUR.PresentationInfo.max_order, ARDOUR.TrackMode.Normal, true):front()
take:input():disconnect_all(nil)
for c = 0, 1 do take:input():audio(c):connect(track:output():audio(c):name()) end
take:rec_enable_control():set_value(1, none)
s:save_state("", false, false, false, false, false)
close_session()

s = load_session(dir, "arp")
assert(s, "the session did not open again")
track, take = s:route_by_name("Arp"), s:route_by_name("Take")
for i = 0, 2 do print("vlx plugin " .. track:nth_plugin(i):name()) end
for name, i in pairs(controls(track:nth_plugin(0))) do
	print(string.format("vlx control %g %s", ARDOUR.LuaAPI.get_processor_param(track:nth_plugin(0), i, true), name))
end

local function waitUntil(done)
	for _ = 1, 20000 do
		if done() then return end
		ARDOUR.LuaAPI.usleep(1000)
	end
	error("Ardour's transport did not answer")
end
take:to_track():rec_enable_control():set_value(1, none)
s:maybe_enable_record(false)
s:request_roll(ARDOUR.TransportRequestSource.TRS_UI)
waitUntil(function() return s:transport_rolling() end)
ARDOUR.LuaAPI.usleep(200000)
local parser, midi = ARDOUR.RawMidiParser(), track:to_track():to_midi_track()
for _, b in ipairs({ 0x90, 60, 100, 0x90, 64, 100, 0x90, 67, 100 }) do
	if parser:process_byte(b) then midi:write_immediate_event(Evoral.EventType.MIDI_EVENT, parser:buffer_size(), parser:midi_buffer()) end
end
print("vlx chord " .. s:transport_sample())
waitUntil(function() return s:transport_sample() >= 156000 end)  -- 3 s of the song after the chord
s:request_stop(false, false, ARDOUR.TransportRequestSource.TRS_UI)
waitUntil(function() return not s:transport_rolling() end)
ARDOUR.LuaAPI.usleep(300000)
local xruns = 0
for l in s:locations():list():iter() do
	if l:is_mark() and string.find(l:name(), "^xrun%d*$") then xruns = xruns + 1 end
end
print("vlx xruns " .. xruns)
local shm = track:nth_plugin(1):to_insert():plugin(0):to_luaproc():shmem()
local notes = shm:to_int(1):array()
for i = 1, shm:atomic_get_int(0) do print("vlx note " .. notes[2 * i - 1] .. " " .. notes[2 * i]) end
for r in take:to_track():playlist():region_list():iter() do
	print("vlx take " .. r:position():samples() .. " " .. r:source(0):to_filesource():path())
end
s:save_state("", false, false, false, false, false)
close_session()
print("vlx done")
