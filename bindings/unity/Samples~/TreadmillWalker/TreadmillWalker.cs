// Moves this character by the treadmill's floor speeds, and tells the
// controller every frame where the player stands and faces on the treadmill,
// so that the belts can carry the player back to the centre.
//
// Put it on the character's root; `player` is the tracked head (the VR
// camera), a child of the root, whose local position is the player's offset
// from the treadmill's centre. Treadmill x is the root's right, y its forward.
using Quorvellan;
using UnityEngine;

namespace Quorvellan.Samples
{
    public sealed class TreadmillWalker : MonoBehaviour
    {
        [Tooltip("The tracked player (for instance the VR camera), a child of this character.")]
        public Transform player;

        [Tooltip("The controller on this machine; off: the controller on the local network.")]
        public bool localController = true;

        private void Start()
        {
            if (!Connect()) enabled = false;
        }

        private void Update()
        {
            SendPlayer(player.localPosition, player.localRotation);
            FloorSpeeds belts = ReadFloorSpeeds();
            // The belts move the player backwards as the player walks forwards:
            // the character walks against the belts.
            Vector3 walking = new Vector3((float)-belts.X, 0f, (float)-belts.Y);
            transform.position += transform.rotation * walking * Time.deltaTime;
        }

        private void OnDestroy()
        {
            Close();
        }

        // ---- Treadmill access: the one place that talks to the library. ----
        // To sample through the stream instead, swap Treadmill for
        // TreadmillStream in the members below; the rest stays as it is.

        private Treadmill treadmill;

        private bool Connect()
        {
            try
            {
                treadmill = Treadmill.Connect(localController);
                treadmill.SetRunState(true);
                return true;
            }
            catch (TreadmillException error)
            {
                Debug.LogError(error.Message);
                return false;
            }
        }

        // Queued: leaves with the next query, in the same exchange.
        private void SendPlayer(Vector3 position, Quaternion rotation)
        {
            treadmill.SetUserPosition(position.x, position.z);
            treadmill.SetUserRotation(rotation.w, rotation.x, rotation.y, rotation.z);
        }

        // One exchange a frame; {0, 0} while the connection is down. A connect
        // may wait up to 3 s, so a lost connection is taken up again at most
        // every few seconds, not every frame.
        private const float ReconnectInterval = 5f;
        private float nextReconnect;

        private FloorSpeeds ReadFloorSpeeds()
        {
            FloorSpeeds belts = treadmill.FloorSpeeds;
            if (!treadmill.Connected && Time.realtimeSinceStartup >= nextReconnect)
            {
                nextReconnect = Time.realtimeSinceStartup + ReconnectInterval;
                try { treadmill.Reconnect(localController); }
                catch (TreadmillException error) { Debug.LogWarning(error.Message); }
            }
            return belts;
        }

        private void Close()
        {
            if (treadmill != null) treadmill.Dispose();
            treadmill = null;
        }
    }
}
