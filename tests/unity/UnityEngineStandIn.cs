// STAND-IN for Unity's UnityEngine assembly, for compile checks only: it
// declares just the members the package's sample and the README's component use, with
// the same names and shapes, so that mcs can check them without Unity. Nothing here
// behaves like Unity; it is never shipped.
using System;

namespace UnityEngine
{
    public struct Vector3
    {
        public float x, y, z;
        public Vector3(float x, float y, float z) { this.x = x; this.y = y; this.z = z; }
        public static Vector3 operator +(Vector3 a, Vector3 b) { return new Vector3(a.x + b.x, a.y + b.y, a.z + b.z); }
        public static Vector3 operator *(Vector3 a, float d) { return new Vector3(a.x * d, a.y * d, a.z * d); }
    }

    public struct Vector2
    {
        public float x, y;
        public Vector2(float x, float y) { this.x = x; this.y = y; }
        public static Vector2 zero { get { return new Vector2(0f, 0f); } }
    }

    public struct Quaternion
    {
        public float x, y, z, w;
        public static Vector3 operator *(Quaternion rotation, Vector3 point) { return point; }
    }

    public class Object { }

    public class Component : Object
    {
        public Transform transform { get { return null; } }
    }

    public class Transform : Component
    {
        public Vector3 position { get; set; }
        public Vector3 localPosition { get; set; }
        public Quaternion rotation { get; set; }
        public Quaternion localRotation { get; set; }
    }

    public class Behaviour : Component
    {
        public bool enabled { get; set; }
    }

    public class MonoBehaviour : Behaviour { }

    public static class Time
    {
        public static float deltaTime { get { return 0f; } }
        public static float realtimeSinceStartup { get { return 0f; } }
    }

    public static class Debug
    {
        public static void LogError(object message) { }
        public static void LogWarning(object message) { }
    }

    [AttributeUsage(AttributeTargets.Field)]
    public sealed class TooltipAttribute : Attribute
    {
        public TooltipAttribute(string tooltip) { }
    }
}
