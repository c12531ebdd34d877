using System;
using System.Collections.Generic;
using System.Globalization;

namespace Dravik
{
    /// <summary>One channel's outcome: the fields of <c>dravik-cli set --json</c>, typed.</summary>
    /// <remarks>A channel the meter did not confirm is a record with <see cref="Answered"/>
    /// false, not an exception.</remarks>
    public sealed class Record
    {
        // How each key the assembly knows becomes its property. The keys themselves, and their
        // order, are the library's (dravik_record_keys); a key it adds later is in Fields only.
        private static readonly Dictionary<string, Action<Record, string>> Typed =
            new Dictionary<string, Action<Record, string>>(StringComparer.Ordinal) {
                { "time", (r, v) => r.Time = DateTimeOffset.ParseExact(
                              v, "yyyy'-'MM'-'dd'T'HH':'mm':'ss'.'fff'Z'",
                              CultureInfo.InvariantCulture, DateTimeStyles.AssumeUniversal) },
                { "port", (r, v) => r.Port = v },
                { "channel", (r, v) => r.Channel =
                                 int.Parse(v, NumberStyles.None, CultureInfo.InvariantCulture) },
                { "label", (r, v) => r.Label = v },
                { "text", (r, v) => r.Text = v },
                { "db", (r, v) => r.Db = ParseDouble(v) },
                { "factor", (r, v) => r.Factor = ParseDouble(v) },
                { "frame", (r, v) => r.Frame = ParseHex(v) },
                { "answered", (r, v) => r.Answered = ParseBool(v) },
                { "sent", (r, v) => r.Sent = ParseBool(v) },
                { "late", (r, v) => r.Late = ParseBool(v) },
                { "reply", (r, v) => r.Reply = ParseHex(v) },
                { "tags", (r, v) => r.Tags = FlatJson.ParseStrings(v) },
            };

        private static readonly object KeysLock = new object();
        private static string[] keys;
        private static byte[][] keyTexts;

        private Record()
        {
        }

        /// <summary>When the channel's turn came (UTC, milliseconds).</summary>
        public DateTimeOffset Time { get; private set; }

        /// <summary>The meter's port.</summary>
        public string Port { get; private set; }

        /// <summary>The channel's number, 0 to 3.</summary>
        public int Channel { get; private set; }

        /// <summary>The channel's name: 1310CW, 1310Burst, 1490CW or 1550CW.</summary>
        public string Label { get; private set; }

        /// <summary>The level as given (a double as its shortest round-trip text).</summary>
        public string Text { get; private set; }

        /// <summary>The level in dB as read.</summary>
        public double Db { get; private set; }

        /// <summary>10^(dB/10), the single-precision factor sent.</summary>
        public double Factor { get; private set; }

        /// <summary>The 40 bytes sent, or that would have been.</summary>
        public byte[] Frame { get; private set; }

        /// <summary>After the frame, more than its echo came within the 5 s wait, then
        /// quiet.</summary>
        public bool Answered { get; private set; }

        /// <summary>The whole frame reached the driver.</summary>
        public bool Sent { get; private set; }

        /// <summary>No answer in time, but one while the line was let go quiet afterwards; no
        /// answer all the same.</summary>
        public bool Late { get; private set; }

        /// <summary>What arrived after the frame, the first 40 bytes (an echo first).</summary>
        public byte[] Reply { get; private set; }

        /// <summary>The station's tags.</summary>
        public IDictionary<string, string> Tags { get; private set; }

        /// <summary>Every field as the library gave it as text, by key, those of a newer
        /// library too.</summary>
        public IDictionary<string, string> Fields { get; private set; }

        /// <summary>The session's last record; null when it has none (a set refused, or the
        /// session closed meanwhile).</summary>
        internal static Record Read(int session)
        {
            if (Native.dravik_record(session, null, 0) <= 0) return null;
            string[] names;
            byte[][] texts;
            RecordKeys(out names, out texts);
            var record =
                new Record { Fields = new Dictionary<string, string>(StringComparer.Ordinal) };
            for (int k = 0; k < names.Length; ++k)
            {
                byte[] key = texts[k];
                string value = Native.Text(
                    (buffer, size) => Native.dravik_record_value(session, key, buffer, size));
                if (value == null) return null;
                record.Fields.Add(names[k], value);
            }
            foreach (KeyValuePair<string, Action<Record, string>> typed in Typed)
            {
                string value;
                if (!record.Fields.TryGetValue(typed.Key, out value))
                    throw Mismatch("has no record key \"" + typed.Key + "\"");
                try
                {
                    typed.Value(record, value);
                }
                catch (FormatException)
                {
                    throw Mismatch("gives " + typed.Key + "=" + value + ", which is not its type");
                }
                catch (OverflowException)
                {
                    throw Mismatch("gives " + typed.Key + "=" + value + ", which is out of range");
                }
            }
            return record;
        }

        // The keys do not change within a process: asked once.
        private static void RecordKeys(out string[] names, out byte[][] texts)
        {
            lock (KeysLock)
            {
                if (keys == null)
                {
                    string list =
                        Native.Text((buffer, size) => Native.dravik_record_keys(buffer, size));
                    if (string.IsNullOrEmpty(list)) throw Mismatch("lists no record keys");
                    string[] split = list.Split(',');
                    var encoded = new byte[split.Length][];
                    for (int k = 0; k < split.Length; ++k)
                        encoded[k] = Native.Utf8(split[k], "key");
                    keyTexts = encoded;
                    keys = split;
                }
                names = keys;
                texts = keyTexts;
            }
        }

        private static DravikException Mismatch(string what)
        {
            return new DravikException(
                DravikStatus.InternalError,
                "the libdravik loaded " + what + ": it does not match this Dravik.Net.dll", null);
        }

        private static double ParseDouble(string text)
        {
            return double.Parse(text,
                                NumberStyles.AllowLeadingSign | NumberStyles.AllowDecimalPoint |
                                    NumberStyles.AllowExponent,
                                CultureInfo.InvariantCulture);
        }

        private static bool ParseBool(string text)
        {
            if (text == "true") return true;
            if (text == "false") return false;
            throw new FormatException();
        }

        private static byte[] ParseHex(string text)
        {
            if (text.Length % 2 != 0) throw new FormatException();
            var bytes = new byte[text.Length / 2];
            for (int k = 0; k < bytes.Length; ++k)
            {
                if (!Uri.IsHexDigit(text[2 * k]) || !Uri.IsHexDigit(text[2 * k + 1]))
                    throw new FormatException();
                bytes[k] = (byte)(Uri.FromHex(text[2 * k]) * 16 + Uri.FromHex(text[2 * k + 1]));
            }
            return bytes;
        }
    }
}
