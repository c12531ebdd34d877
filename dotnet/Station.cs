using System;
using System.Collections.Generic;

namespace Dravik
{
    /// <summary>A serial port as <c>dravik-cli ports</c> lists it, known without opening
    /// it.</summary>
    public sealed class PortInfo
    {
        internal PortInfo(string port, string description, string state, string[] byPath,
                          string[] byId)
        {
            Port = port;
            Description = description;
            State = state;
            ByPath = Array.AsReadOnly(byPath);
            ById = Array.AsReadOnly(byId);
        }

        /// <summary>The device: /dev/ttyUSB0, COM3.</summary>
        public string Port { get; private set; }

        /// <summary>What is known of it (Linux: driver, USB IDs and product; Windows: the
        /// registry's device name).</summary>
        public string Description { get; private set; }

        /// <summary>Whether it is in use or not permitted, as far as that shows without
        /// opening it.</summary>
        public string State { get; private set; }

        /// <summary>Its names under /dev/serial/by-path (Linux): they stay with the USB socket
        /// an adapter is plugged into, whatever order the adapters were found in.</summary>
        public IList<string> ByPath { get; private set; }

        /// <summary>Its names under /dev/serial/by-id (Linux): they stay with the adapter
        /// itself.</summary>
        public IList<string> ById { get; private set; }
    }

    /// <summary>One port the search probed, and what became of it.</summary>
    public sealed class ProbeOutcome
    {
        internal ProbeOutcome(string port, bool found, string reason)
        {
            Port = port;
            Found = found;
            Reason = reason;
        }

        /// <summary>The port probed.</summary>
        public string Port { get; private set; }

        /// <summary>It answered as the meter.</summary>
        public bool Found { get; private set; }

        /// <summary>What became of it, as dravik-cli find prints it; "" when found.</summary>
        public string Reason { get; private set; }
    }

    /// <summary>The calls that need no meter: the port list and the search.</summary>
    public static class Station
    {
        /// <summary>The serial ports in the order the search tries them. Opens none.</summary>
        /// <exception cref="DravikException">The library failed.</exception>
        public static IList<PortInfo> Ports()
        {
            int status;
            string message;
            List<Dictionary<string, object>> lines =
                ListOf(session => Native.dravik_ports(session), out status, out message);
            if (status != 0) throw Native.ErrorFor(status, message, false, null);
            var ports = new List<PortInfo>();
            foreach (Dictionary<string, object> line in lines)
                ports.Add(new PortInfo(Member<string>(line, "port"),
                                       Member<string>(line, "description"),
                                       Member<string>(line, "state"),
                                       Member<string[]>(line, "by_path"),
                                       Member<string[]>(line, "by_id")));
            return ports;
        }

        /// <summary>Probes the ports as <c>dravik-cli find</c> does and returns the meter's
        /// port; with <paramref name="all"/> every port that answers, probed side by side, as
        /// <c>find --all</c>.</summary>
        /// <exception cref="NoMeterFoundException">No port answered; its
        /// <see cref="NoMeterFoundException.Tried"/> has every port probed.</exception>
        public static IList<string> Find(bool all)
        {
            var tried = new List<ProbeOutcome>();
            string message;
            int status;
            List<Dictionary<string, object>> lines = ListOf(
                session => Native.dravik_find(session, all ? 1 : 0), out status, out message);
            foreach (Dictionary<string, object> line in lines)
                tried.Add(new ProbeOutcome(Member<string>(line, "port"),
                                           Member<bool>(line, "found"),
                                           Member<string>(line, "reason")));
            if (status == (int)DravikStatus.NoMeter)
                throw new NoMeterFoundException(message, tried);
            if (status != 0) throw Native.ErrorFor(status, message, false, null);
            var found = new List<string>();
            foreach (ProbeOutcome outcome in tried)
                if (outcome.Found) found.Add(outcome.Port);
            return found;
        }

        // A session of its own for the call, closed after it; the list's lines as objects.
        private static List<Dictionary<string, object>> ListOf(Func<int, int> call, out int status,
                                                               out string message)
        {
            int session = Native.NewSession();
            try
            {
                status = call(session);
                message = Native.Error(session);
                string list =
                    Native.Text((buffer, size) => Native.dravik_list(session, buffer, size)) ?? "";
                var lines = new List<Dictionary<string, object>>();
                foreach (string line in list.Split('\n'))
                {
                    if (line.Length == 0) continue;
                    try
                    {
                        lines.Add(FlatJson.Parse(line));
                    }
                    catch (FormatException error)
                    {
                        throw new DravikException(DravikStatus.InternalError,
                                                  "the libdravik loaded lists " + error.Message,
                                                  null);
                    }
                }
                return lines;
            }
            finally
            {
                Native.dravik_close(session);
            }
        }

        private static T Member<T>(Dictionary<string, object> line, string key)
        {
            object value;
            if (line.TryGetValue(key, out value) && value is T) return (T)value;
            throw new DravikException(
                DravikStatus.InternalError,
                "the libdravik loaded lists a port without its \"" + key + "\"", null);
        }
    }
}
