-- SPDX-License-Identifier: GPL-3.0-or-later
-- A Lua processor for Lv2Ardour.*: passes MIDI on unchanged and keeps, in
-- its shared memory, each note-on that passes while the transport rolls:
-- the session sample it falls on and its key (the count first).
ardour { ["type"] = "dsp", name = "VLX Probe", category = "Utility", license = "GPL-3.0-or-later",
	description = [[Keeps the note-ons that pass, at their session sample]] }

local kept = 256

function dsp_ioconfig () return { { midi_in = 1, midi_out = 1, audio_in = 0, audio_out = 0 } } end

function dsp_init (rate)
	self:shmem():allocate(1 + 2 * kept)
	self:shmem():atomic_set_int(0, 0)
end

function dsp_run (_, _, n_samples)
	local at, rolling = Session:transport_sample(), Session:transport_rolling()
	local n, notes = self:shmem():atomic_get_int(0), self:shmem():to_int(1):array()
	for i, e in ipairs(midiin) do
		midiout[i] = e
		local d = e["data"]
		if rolling and n < kept and #d == 3 and (d[1] >> 4) == 9 and d[3] > 0 then
			notes[2 * n + 1], notes[2 * n + 2] = at + e["time"] - 1, d[2]
			n = n + 1
		end
	end
	self:shmem():atomic_set_int(0, n)
end
