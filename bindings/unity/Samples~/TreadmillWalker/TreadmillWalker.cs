// Moves this character by the treadmill's floor speeds, and tells the
// controller every frame where the player stands and faces on the treadmill,
// so that the belts can carry the player back to the centre.
//
// Put it on the character's root; `player` is the tracked head (the VR
// camera), a child of the root, whose local position is the player's offset
// from the treadmill's centre. Treadmill x is the root's right, y its forward,
// z its up: TreadmillPose.FromUnity turns Unity's frame (y up, z forward,
// left-handed) into the treadmill's (z up, y forward, right-handed).
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
        // Through the stream: its own thread talks to the controller and
        // reconnects in the background, so a frame never waits on the network.

        private TreadmillStream stream;
        private bool wasConnected;

        private bool Connect()
        {
            try
            {
                stream = TreadmillStream.Start(localController);
                return true;
            }
            catch (StreamException error)
            {
                Debug.LogError(error.Message);
                return false;
            }
        }

        // The newest position and rotation leave with the stream's next poll.
        private void SendPlayer(Vector3 position, Quaternion rotation)
        {
            TreadmillPose pose = TreadmillPose.FromUnity(position.x, position.y, position.z,
                                                         rotation.x, rotation.y, rotation.z, rotation.w);
            stream.SetUserPosition(pose.X, pose.Y);
            stream.SetUserRotation(pose.RotationW, pose.RotationX, pose.RotationY, pose.RotationZ);
        }

        // The newest sample; {0, 0} while the connection is down. The stream
        // drops an on/off command given while disconnected (a stale "run" must
        // not start the belts later), so "run" is asked on every connection.
        private FloorSpeeds ReadFloorSpeeds()
        {
            StreamSample sample;
            stream.Latest(out sample);
            if (sample.Connected && !wasConnected) stream.SetRunState(true);
            wasConnected = sample.Connected;
            return sample.Connected ? sample.FloorSpeeds : new FloorSpeeds();
        }

        private void Close()
        {
            if (stream != null) stream.Dispose();
            stream = null;
        }
    }
}
